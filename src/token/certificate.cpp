#include "token/certificate.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "system/digest.h"
#include "text/shown_text.h"
#include "text/utf8.h"
#include "token/der_reader.h"
#include "token/messages.h"

namespace p11agent {

std::optional<std::string> thumbprint_of(std::span<const std::uint8_t> der) {
  auto digest = platform::sha1(der);
  if (!digest) return std::nullopt;
  return hex_encode(*digest);
}

std::expected<void, std::string> check_thumbprint_digest() {
  if (!platform::sha1({})) return std::unexpected(THUMBPRINT_DIGEST_FAILED);
  return {};
}

namespace {

// A reader at the tbsCertificate's serial number (after the optional version).
std::optional<DerReader> at_serial(std::span<const std::uint8_t> der) {
  DerReader reader(der);
  // Certificate and tbsCertificate SEQUENCE headers; their lengths are not needed.
  if (!reader.take_tag(0x30) || !reader.take_length()) return std::nullopt;
  if (!reader.take_tag(0x30) || !reader.take_length()) return std::nullopt;
  if (reader.take_tag(0xA0)) {
    auto version_length = reader.take_length();
    if (!version_length || !reader.take_content(*version_length)) return std::nullopt;
  }
  return reader;
}

struct AttributeName {
  std::string_view oid;  // content bytes
  std::string_view name;
};
constexpr AttributeName ATTRIBUTE_NAMES[] = {
    {"\x55\x04\x03", "CN"},
    {"\x55\x04\x06", "C"},
    {"\x55\x04\x07", "L"},
    {"\x55\x04\x08", "ST"},
    {"\x55\x04\x09", "STREET"},
    {"\x55\x04\x0A", "O"},
    {"\x55\x04\x0B", "OU"},
    {"\x55\x04\x0C", "title"},
    {"\x55\x04\x05", "serialNumber"},
    {"\x55\x04\x2A", "GN"},
    {"\x55\x04\x04", "SN"},
    {"\x55\x04\x11", "postalCode"},
    {"\x55\x04\x41", "pseudonym"},
    {"\x55\x04\x61", "organizationIdentifier"},
    {"\x09\x92\x26\x89\x93\xF2\x2C\x64\x01\x19", "DC"},
    {"\x09\x92\x26\x89\x93\xF2\x2C\x64\x01\x01", "UID"},
    {"\x2A\x86\x48\x86\xF7\x0D\x01\x09\x01", "emailAddress"},
};

// A known attribute's short name, else the OID in dotted form.
std::string attribute_name(std::span<const std::uint8_t> oid) {
  const std::string_view bytes(reinterpret_cast<const char*>(oid.data()), oid.size());
  for (const AttributeName& known : ATTRIBUTE_NAMES)
    if (known.oid == bytes) return std::string(known.name);
  return dotted_oid(oid);
}

constexpr std::uint32_t REPLACEMENT = 0xFFFD;

bool is_surrogate(std::uint32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// BMPString: UTF-16 big-endian, whose surrogate pairs make one character; a surrogate
// without its other half is not a character.
std::string bmp_string(std::span<const std::uint8_t> value) {
  std::string text;
  for (std::size_t i = 0; i + 1 < value.size(); i += 2) {
    const std::uint32_t unit = std::uint32_t{value[i]} << 8 | value[i + 1];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < value.size()) {
      const std::uint32_t low = std::uint32_t{value[i + 2]} << 8 | value[i + 3];
      if (low >= 0xDC00 && low <= 0xDFFF) {
        append_utf8(text, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
        continue;
      }
    }
    append_utf8(text, is_surrogate(unit) ? REPLACEMENT : unit);
  }
  return text;
}

// UTF8String, BMPString, UniversalString, PrintableString, TeletexString, IA5String.
bool is_directory_string(std::uint8_t tag) {
  return tag == 0x0C || tag == 0x1E || tag == 0x1C || tag == 0x13 || tag == 0x14 || tag == 0x16;
}

// A directory string as UTF-8: UTF8String as it is (invalid bytes replaced), BMPString
// and UniversalString decoded, the one-byte strings taken as Latin-1.
std::string directory_string(std::uint8_t tag, std::span<const std::uint8_t> value) {
  std::string text;
  switch (tag) {
    case 0x0C: return decode_utf8_lossy(value);
    case 0x1E: return bmp_string(value);
    case 0x1C:
      for (std::size_t i = 0; i + 3 < value.size(); i += 4) {
        const std::uint32_t c = std::uint32_t{value[i]} << 24 | value[i + 1] << 16 | value[i + 2] << 8 | value[i + 3];
        append_utf8(text, c <= 0x10FFFF && !is_surrogate(c) ? c : REPLACEMENT);
      }
      return text;
    default:  // the one-byte strings
      for (std::uint8_t byte : value) append_utf8(text, byte);
      return text;
  }
}

std::optional<DistinguishedName> read_name(std::span<const std::uint8_t> name) {
  DistinguishedName attributes;
  DerReader sets(name);
  while (!sets.at_end()) {
    auto set = sets.take_element(0x31);
    if (!set) return std::nullopt;
    DerReader members(*set);
    while (!members.at_end()) {
      auto member = members.take_element(0x30);
      if (!member) return std::nullopt;
      DerReader parts(*member);
      auto oid = parts.take_element(0x06);
      auto value = parts.take_any();
      if (!oid || !value) return std::nullopt;
      const bool decoded = is_directory_string(value->first);
      attributes.push_back({attribute_name(*oid),
                            decoded ? directory_string(value->first, value->second) : "#" + hex_encode(value->second),
                            !decoded});
    }
  }
  return attributes;
}

}  // namespace

std::string cert_serial_hex(std::span<const std::uint8_t> der) {
  auto reader = at_serial(der);
  if (!reader) return "";
  auto serial = reader->take_element(0x02);
  return serial ? hex_encode(*serial) : "";
}

CertNames cert_names(std::span<const std::uint8_t> der) {
  auto reader = at_serial(der);
  if (!reader || !reader->take_element(0x02) || !reader->take_element(0x30)) return {};
  auto issuer = reader->take_element(0x30);
  if (!issuer) return {};
  CertNames names{{}, read_name(*issuer).value_or(DistinguishedName{})};
  if (!reader->take_element(0x30)) return names;  // validity
  if (auto subject = reader->take_element(0x30)) names.subject = read_name(*subject).value_or(DistinguishedName{});
  return names;
}

std::string shown_value(const NameAttribute& attribute) {
  if (attribute.hex) return attribute.value;
  const std::string_view value = attribute.value;
  constexpr std::string_view SPECIAL = "\"+,;<>=\\";
  std::string out;
  for (std::size_t i = 0, length = 0; i < value.size(); i += length) {
    const std::uint32_t c = code_point_at(value, i, length);
    const bool at_edge = (i == 0 && (c == '#' || c == ' ')) || (i + length == value.size() && c == ' ');
    if (c < 0x80 && (SPECIAL.find(static_cast<char>(c)) != std::string_view::npos || at_edge)) out += '\\';
    append_shown(out, c);
  }
  return out;
}

const NameAttribute* find_attribute(const DistinguishedName& name, std::string_view type) {
  for (const NameAttribute& attribute : name)
    if (attribute.type == type) return &attribute;
  return nullptr;
}

std::string name_text(const DistinguishedName& name) {
  std::string text;
  for (const NameAttribute& attribute : name) {
    if (!text.empty()) text += ", ";
    text += attribute.type + "=" + shown_value(attribute);
  }
  return text;
}

}  // namespace p11agent
