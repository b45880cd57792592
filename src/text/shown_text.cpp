#include "text/shown_text.h"

#include <span>

#include "text/utf8.h"

namespace p11agent {

namespace {

struct Range {
  std::uint32_t first, last;
};

// Unicode's format characters (general category Cf) and the line and paragraph
// separators (Zl, Zp).
constexpr Range LAYOUT_CHARACTERS[] = {
    {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},
    {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},   {0x200B, 0x200F},   {0x2028, 0x202E},
    {0x2060, 0x2064},   {0x2066, 0x206F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD},
    {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F},
};

constexpr std::string_view ELLIPSIS = "\xE2\x80\xA6";

}  // namespace

bool acts_on_layout(std::uint32_t c) {
  if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return true;
  for (const Range& range : LAYOUT_CHARACTERS)
    if (c >= range.first && c <= range.last) return true;
  return false;
}

void append_shown(std::string& out, std::uint32_t c) {
  if (!acts_on_layout(c)) {
    append_utf8(out, c);
    return;
  }
  static constexpr char HEX[] = "0123456789ABCDEF";
  std::string digits;
  for (std::uint32_t v = c; v != 0 || digits.size() < 4; v >>= 4) digits.insert(digits.begin(), HEX[v & 0xF]);
  out += "<U+" + digits + ">";
}

std::string shown_text(std::string_view text) {
  const std::string valid =
      decode_utf8_lossy(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  std::string out;
  out.reserve(valid.size());
  for (std::size_t i = 0, length = 0; i < valid.size(); i += length) append_shown(out, code_point_at(valid, i, length));
  return out;
}

std::string cut_text(std::string_view text, std::size_t max_bytes) {
  if (text.size() <= max_bytes) return std::string(text);
  if (max_bytes < ELLIPSIS.size()) return "";
  std::size_t end = max_bytes - ELLIPSIS.size();
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(0, end)) + std::string(ELLIPSIS);
}

std::string cut_characters(std::string_view text, std::size_t max_characters) {
  if (max_characters == 0) return "";
  std::size_t characters = 0;
  std::size_t kept = 0;  // the bytes of the first max_characters - 1 characters
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (++characters == max_characters) kept = i;
    if (characters > max_characters) return std::string(text.substr(0, kept)) + std::string(ELLIPSIS);
  }
  return std::string(text);
}

}  // namespace p11agent
