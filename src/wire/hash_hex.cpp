#include "wire/hash_hex.h"

#include "text/utf8.h"

namespace p11agent {

std::expected<Bytes, std::string> decode_hash_hex(std::string_view text) {
  std::string_view digits = trim_white_space(text);
  // The length is checked before any character is looked at.
  if (digits.size() % 2 != 0) return std::unexpected("Odd number of digits");
  Bytes out;
  out.reserve(digits.size() / 2);
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    int high = hex_digit_value(digits[i]);
    int low = hex_digit_value(digits[i + 1]);
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
