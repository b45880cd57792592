#include "token/certificate.h"

#include <optional>

#include "platform/digest.h"
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

 private:
  std::span<const std::uint8_t> data_;
  std::size_t pos_ = 0;
};

}  // namespace

std::string cert_serial_hex(std::span<const std::uint8_t> der) {
  DerReader reader(der);
  // Certificate and tbsCertificate SEQUENCE headers; their lengths are not needed.
  if (!reader.take_tag(0x30) || !reader.take_length()) return "";
  if (!reader.take_tag(0x30) || !reader.take_length()) return "";
  if (reader.take_tag(0xA0)) {
    auto version_length = reader.take_length();
    if (!version_length || !reader.take_content(*version_length)) return "";
  }
  if (!reader.take_tag(0x02)) return "";
  auto serial_length = reader.take_length();
  if (!serial_length) return "";
  auto serial = reader.take_content(*serial_length);
  return serial ? hex_encode(*serial) : "";
}

}  // namespace p11agent
