#pragma once
// UTF-8 and white-space rules shared by the request intake and the token texts, and
// ASCII lower-casing.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace p11agent {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view bytes);

// Decodes bytes as UTF-8, replacing each maximal invalid subpart by U+FFFD.
std::string decode_utf8_lossy(std::span<const std::uint8_t> bytes);

// The code point that starts at text[i] of valid UTF-8 text; `length` gets its byte count.
std::uint32_t code_point_at(std::string_view text, std::size_t i, std::size_t& length);

// Removes the code points for which `drop` holds from both ends of valid UTF-8 text.
std::string_view trim_matching(std::string_view text, bool (*drop)(std::uint32_t));

// Removes Unicode White_Space characters from both ends of valid UTF-8 text.
std::string_view trim_white_space(std::string_view text);

// 'A'..'Z' as 'a'..'z'; every other byte as it is.
constexpr char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Lower-cases ASCII letters only. Used for requested thumbprints: a thumbprint can only
// ever match 40 ASCII hex digits, so full Unicode lower-casing would give the same
// matches and the same failures.
std::string ascii_lowercase(std::string_view text);

// Writes the UTF-8 form of a code point; returns its length (1 to 4).
std::size_t encode_utf8(std::uint32_t code_point, char (&bytes)[4]);

// Appends the UTF-8 form of a code point.
void append_utf8(std::string& out, std::uint32_t code_point);

// One character as a debugging form shows it: printable characters as they are,
// quotes, backslashes and control characters escaped (\n, \t, \r, \0, \u{7f}).
void append_debug_escaped(std::string& out, std::uint32_t code_point, char quote);

}  // namespace p11agent
