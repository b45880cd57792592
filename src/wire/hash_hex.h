#pragma once
// The request's hash_hex member as the bytes to sign.
#include <expected>
#include <string>
#include <string_view>

#include "text/encoding.h"

namespace p11agent {

// White space trimmed, two hex digits a byte in either case; the error is the decoder's
// message.
std::expected<Bytes, std::string> decode_hash_hex(std::string_view text);

}  // namespace p11agent
