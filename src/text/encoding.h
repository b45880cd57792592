#pragma once
// Byte strings as text: lowercase hex, padded standard Base64.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace p11agent {

using Bytes = std::vector<std::uint8_t>;

std::string hex_encode(std::span<const std::uint8_t> bytes);
void append_hex(std::string& out, std::span<const std::uint8_t> bytes);
std::string base64_encode(std::span<const std::uint8_t> bytes);

// The value of one hex digit in either case; -1 for any other character.
int hex_digit_value(char c);

}  // namespace p11agent
