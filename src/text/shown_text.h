#pragma once
// Text that came from a token, a certificate or a caller, made fit to show a person:
// nothing in it can change how the text around it is laid out or read.
#include <cstdint>
#include <string>
#include <string_view>

namespace p11agent {

// Whether a code point would act on the text around it instead of showing as a
// character: C0 and C1 controls and DEL, format characters (bidirectional overrides,
// embeddings, isolates and marks, zero-width characters, invisible operators, tags) and
// the line and paragraph separators.
bool acts_on_layout(std::uint32_t code_point);

// Appends a code point as shown: one that acts on the layout as a visible escape
// "<U+202E>", every other one as it is.
void append_shown(std::string& out, std::uint32_t code_point);

// The text as shown (invalid UTF-8 as U+FFFD first).
std::string shown_text(std::string_view text);

// Valid UTF-8 text cut to at most `max_bytes` bytes, never inside a character, ending in
// "…" (counted in the bound) when anything was cut.
std::string cut_text(std::string_view text, std::size_t max_bytes);

// Valid UTF-8 text of at most `max_characters` characters, "…" (counted) in place of the
// rest when there was more.
std::string cut_characters(std::string_view text, std::size_t max_characters);

}  // namespace p11agent
