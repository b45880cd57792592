#pragma once
// What the agent reads from a certificate's DER: its thumbprint, serial number and names.
#include <expected>
#include <optional>
#include <string>

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

// The subject and issuer names as a person reads them ("CN=Alice, O=Example"), in the
// order the certificate writes them; "" for a name the walk cannot read. Control
// characters become "?": the names are shown to the user.
struct CertNames {
  std::string subject;
  std::string issuer;
};
CertNames cert_names(std::span<const std::uint8_t> der);

}  // namespace p11agent
