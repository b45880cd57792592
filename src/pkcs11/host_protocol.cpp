#include "pkcs11/host_protocol.h"

#include <cstring>

namespace p11agent::host_protocol {

Writer& Writer::number(std::uint64_t value) {
  for (int i = 0; i < 8; ++i) bytes_.push_back(static_cast<std::byte>(value >> (8 * i)));
  return *this;
}

Writer& Writer::bytes(const void* data, std::size_t size) {
  number(size);
  const auto* first = static_cast<const std::byte*>(data);
  if (size != 0) bytes_.insert(bytes_.end(), first, first + size);
  return *this;
}

Writer& Writer::optional_bytes(const void* data, std::size_t size) {
  number(data != nullptr ? 1 : 0);
  if (data != nullptr) bytes(data, size);
  return *this;
}

const Bytes& Writer::frame() {
  const std::size_t length = bytes_.size() - 4;
  for (int i = 0; i < 4; ++i) bytes_[static_cast<std::size_t>(i)] = static_cast<std::byte>(length >> (8 * i));
  return bytes_;
}

std::uint64_t Reader::number() {
  if (!ok_ || rest_.size() < 8) {
    ok_ = false;
    return 0;
  }
  std::uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value |= static_cast<std::uint64_t>(rest_[static_cast<std::size_t>(i)]) << (8 * i);
  rest_ = rest_.subspan(8);
  return value;
}

std::span<const std::byte> Reader::bytes() {
  const std::uint64_t size = number();
  if (!ok_ || size > rest_.size()) {
    ok_ = false;
    return {};
  }
  auto taken = rest_.first(static_cast<std::size_t>(size));
  rest_ = rest_.subspan(static_cast<std::size_t>(size));
  return taken;
}

bool Reader::optional_bytes(std::span<const std::byte>& out) {
  out = {};
  if (number() == 0) return false;
  out = bytes();
  return ok_;
}

Writer marked_answer() {
  Writer w;
  w.number(ANSWER_MARK);
  return w;
}

std::size_t frame_length(std::span<const std::byte, 4> head) {
  std::size_t length = 0;
  for (std::size_t i = 0; i < 4; ++i) length |= static_cast<std::size_t>(head[i]) << (8 * i);
  return length;
}

}  // namespace p11agent::host_protocol
