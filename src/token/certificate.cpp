#include "token/certificate.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "platform/digest.h"
#include "text/utf8.h"
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

class DerReader {
 public:
  explicit DerReader(std::span<const std::uint8_t> data) : data_(data) {}

  bool take_tag(std::uint8_t tag) {
    if (pos_ >= data_.size() || data_[pos_] != tag) return false;
    ++pos_;
    return true;
  }

  // A DER length; long forms wider than a size_t are refused.
  std::optional<std::size_t> take_length() {
    if (pos_ >= data_.size()) return std::nullopt;
    std::uint8_t first = data_[pos_++];
    if (first < 0x80) return first;
    std::size_t count = first & 0x7F;
    std::size_t length = 0;
    for (std::size_t i = 0; i < count; ++i) {
      if (pos_ >= data_.size() || length > (SIZE_MAX >> 8)) return std::nullopt;
      length = length << 8 | data_[pos_++];
    }
    return length;
  }

  std::optional<std::span<const std::uint8_t>> take_content(std::size_t length) {
    if (length > data_.size() - pos_) return std::nullopt;
    auto content = data_.subspan(pos_, length);
    pos_ += length;
    return content;
  }

  // The content of the next element when it has this tag.
  std::optional<std::span<const std::uint8_t>> take_element(std::uint8_t tag) {
    if (!take_tag(tag)) return std::nullopt;
    auto length = take_length();
    if (!length) return std::nullopt;
    return take_content(*length);
  }

  // The next element whatever its tag: the tag and the content.
  std::optional<std::pair<std::uint8_t, std::span<const std::uint8_t>>> take_any() {
    if (at_end()) return std::nullopt;
    const std::uint8_t tag = data_[pos_];
    auto content = take_element(tag);
    if (!content) return std::nullopt;
    return std::pair{tag, *content};
  }

  bool at_end() const { return pos_ >= data_.size(); }

 private:
  std::span<const std::uint8_t> data_;
  std::size_t pos_ = 0;
};

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
    {"\x55\x04\x03", "CN"},           {"\x55\x04\x06", "C"},  {"\x55\x04\x07", "L"},
    {"\x55\x04\x08", "ST"},           {"\x55\x04\x0A", "O"},  {"\x55\x04\x0B", "OU"},
    {"\x55\x04\x05", "serialNumber"}, {"\x55\x04\x2A", "GN"}, {"\x55\x04\x04", "SN"},
    {"\x2A\x86\x48\x86\xF7\x0D\x01\x09\x01", "emailAddress"},
};

// A known attribute's short name, else the OID in dotted form.
std::string attribute_name(std::span<const std::uint8_t> oid) {
  const std::string_view bytes(reinterpret_cast<const char*>(oid.data()), oid.size());
  for (const AttributeName& known : ATTRIBUTE_NAMES)
    if (known.oid == bytes) return std::string(known.name);
  std::string dotted;
  std::uint64_t arc = 0;
  for (std::size_t i = 0; i < oid.size(); ++i) {
    arc = arc << 7 | (oid[i] & 0x7F);
    if (oid[i] & 0x80) continue;
    if (dotted.empty()) {
      const std::uint64_t first = std::min<std::uint64_t>(arc / 40, 2);
      dotted = std::to_string(first) + "." + std::to_string(arc - first * 40);
    } else {
      dotted += "." + std::to_string(arc);
    }
    arc = 0;
  }
  return dotted;
}

// A directory string as UTF-8: UTF8String as it is (invalid bytes replaced), BMPString
// and UniversalString decoded, the one-byte strings taken as Latin-1.
std::string directory_string(std::uint8_t tag, std::span<const std::uint8_t> value) {
  std::string text;
  switch (tag) {
    case 0x0C: text = decode_utf8_lossy(value); break;
    case 0x1E:
      for (std::size_t i = 0; i + 1 < value.size(); i += 2) append_utf8(text, value[i] << 8 | value[i + 1]);
      break;
    case 0x1C:
      for (std::size_t i = 0; i + 3 < value.size(); i += 4) {
        const std::uint32_t c = std::uint32_t{value[i]} << 24 | value[i + 1] << 16 | value[i + 2] << 8 | value[i + 3];
        append_utf8(text, c <= 0x10FFFF ? c : 0xFFFD);
      }
      break;
    case 0x13:
    case 0x14:
    case 0x16:
      for (std::uint8_t byte : value) append_utf8(text, byte);
      break;
    default: return "#" + hex_encode(value);
  }
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return text;
}

std::string render_name(std::span<const std::uint8_t> name) {
  std::string text;
  DerReader sets(name);
  while (!sets.at_end()) {
    auto set = sets.take_element(0x31);
    if (!set) return "";
    DerReader members(*set);
    while (!members.at_end()) {
      auto member = members.take_element(0x30);
      if (!member) return "";
      DerReader parts(*member);
      auto oid = parts.take_element(0x06);
      auto value = parts.take_any();
      if (!oid || !value) return "";
      if (!text.empty()) text += ", ";
      text += attribute_name(*oid) + "=" + directory_string(value->first, value->second);
    }
  }
  return text;
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
  CertNames names{"", render_name(*issuer)};
  if (!reader->take_element(0x30)) return names;  // validity
  if (auto subject = reader->take_element(0x30)) names.subject = render_name(*subject);
  return names;
}

}  // namespace p11agent
