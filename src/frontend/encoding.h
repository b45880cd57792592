#pragma once
// Byte strings on the wire: lowercase hex, padded standard Base64, and the hash decoder.
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace p11agent {

using Bytes = std::vector<std::uint8_t>;

std::string hex_encode(std::span<const std::uint8_t> bytes);
std::string base64_encode(std::span<const std::uint8_t> bytes);

// The request's hash_hex as bytes: white space trimmed, two hex digits a byte in either
// case; the error is the decoder's message.
std::expected<Bytes, std::string> decode_hash_hex(std::string_view text);

}  // namespace p11agent
