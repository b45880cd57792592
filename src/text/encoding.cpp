#include "text/encoding.h"

namespace p11agent {

std::string hex_encode(std::span<const std::uint8_t> bytes) {
  std::string out;
  append_hex(out, bytes);
  return out;
}

void append_hex(std::string& out, std::span<const std::uint8_t> bytes) {
  static const char digits[] = "0123456789abcdef";
  std::size_t at = out.size();
  out.resize(at + bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out[at++] = digits[b >> 4];
    out[at++] = digits[b & 0xF];
  }
}

std::string base64_encode(std::span<const std::uint8_t> bytes) {
  static const char alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += alphabet[(v >> 6) & 63];
    out += alphabet[v & 63];
  }
  std::size_t rest = bytes.size() - i;
  if (rest != 0) {
    std::uint32_t v = bytes[i] << 16;
    if (rest == 2) v |= bytes[i + 1] << 8;
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += rest == 2 ? alphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace p11agent
