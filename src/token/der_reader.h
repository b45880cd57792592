#pragma once
// A reader of DER, the encoding of certificates and their extensions: element by element,
// every length checked against what is left.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

namespace p11agent {

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

// An OBJECT IDENTIFIER's content bytes in dotted form ("1.3.6.1.5.5.7.3.2"); "" for bytes
// that are none (empty, an arc cut short, or one too wide to hold).
std::string dotted_oid(std::span<const std::uint8_t> content);

}  // namespace p11agent
