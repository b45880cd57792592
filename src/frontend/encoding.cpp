#include "frontend/encoding.h"

#include "frontend/text.h"

namespace p11agent {

std::string hex_encode(std::span<const std::uint8_t> bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 0xF];
  }
  return out;
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

namespace {
int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

std::expected<Bytes, std::string> decode_hash_hex(std::string_view text) {
  std::string_view digits = trim_white_space(text);
  // The length is checked before any character is looked at.
  if (digits.size() % 2 != 0) return std::unexpected("Odd number of digits");
  Bytes out;
  out.reserve(digits.size() / 2);
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    int high = hex_value(digits[i]);
    int low = hex_value(digits[i + 1]);
    if (high < 0 || low < 0) {
      std::size_t at = high < 0 ? i : i + 1;
      // The offending byte is shown as the character of the same code (U+0000..U+00FF).
      std::string message = "Invalid character '";
      append_debug_escaped(message, static_cast<std::uint8_t>(digits[at]), '\'');
      return std::unexpected(message + "' at position " + std::to_string(at));
    }
    out.push_back(static_cast<std::uint8_t>(high << 4 | low));
  }
  return out;
}

}  // namespace p11agent
