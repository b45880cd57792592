#pragma once
// What the agent reads from a certificate's DER: its thumbprint, serial number and names.
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "text/encoding.h"

namespace p11agent {

// SHA-1 of the DER as 40 lowercase hex digits; nullopt when the digest cannot be computed.
std::optional<std::string> thumbprint_of(std::span<const std::uint8_t> der);

// Whether thumbprints can be computed here; the error is the text a request that needs
// them answers.
std::expected<void, std::string> check_thumbprint_digest();

// The serialNumber INTEGER's content bytes as lowercase hex (leading 00 kept), read with
// a DER walk over the first headers only; "" when the data does not fit that shape.
std::string cert_serial_hex(std::span<const std::uint8_t> der);

// One attribute of a distinguished name: its short name ("CN", "O") or dotted OID, and its
// value decoded to UTF-8 (invalid text and lone surrogates as U+FFFD), unescaped; a value
// of a type the reader does not decode is "#" and the hex of its encoding's content.
struct NameAttribute {
  std::string type;
  std::string value;
  bool hex = false;  // the value is the "#" hex form
};
using DistinguishedName = std::vector<NameAttribute>;

// The subject and issuer names, attribute by attribute in the order the certificate writes
// them; empty for a name the walk cannot read.
struct CertNames {
  DistinguishedName subject;
  DistinguishedName issuer;
};
CertNames cert_names(std::span<const std::uint8_t> der);

// An attribute's value as RFC 4514 writes it, and as shown to a person: '"', '+', ',', ';',
// '<', '>', '=' and '\' escaped with a backslash, as are a leading '#' or space and a
// trailing space, so that no value can pass for another attribute; characters that act on
// the layout as visible escapes. The hex form is shown as it is.
std::string shown_value(const NameAttribute& attribute);

// The first attribute of this type; nullptr when the name has none.
const NameAttribute* find_attribute(const DistinguishedName& name, std::string_view type);

// "type=value, type=value" in the certificate's order, each value shown as above.
std::string name_text(const DistinguishedName& name);

}  // namespace p11agent
