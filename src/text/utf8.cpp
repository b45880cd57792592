#include "text/utf8.h"

#include <optional>

namespace p11agent {

namespace {

// Length of the well-formed UTF-8 sequence starting at bytes[i], or the length of its
// maximal invalid subpart negated (always at least one byte).
int sequence_length(std::string_view bytes, std::size_t i) {
  auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(bytes[k]); };
  std::uint8_t lead = byte(i);
  if (lead < 0x80) return 1;
  int trailing = 0;
  std::uint8_t low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    trailing = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trailing = 2;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trailing = 3;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return -1;
  }
  for (int k = 1; k <= trailing; ++k) {
    if (i + k >= bytes.size()) return -k;
    std::uint8_t b = byte(i + k);
    if (k == 1 ? (b < low || b > high) : (b < 0x80 || b > 0xBF)) return -k;
  }
  return trailing + 1;
}

bool is_white_space(std::uint32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    int n = sequence_length(bytes, i);
    if (n < 0) return false;
    i += static_cast<std::size_t>(n);
  }
  return true;
}

std::string decode_utf8_lossy(std::span<const std::uint8_t> bytes) {
  std::string_view view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::string out;
  out.reserve(view.size());
  for (std::size_t i = 0; i < view.size();) {
    int n = sequence_length(view, i);
    if (n > 0) {
      out.append(view.substr(i, static_cast<std::size_t>(n)));
      i += static_cast<std::size_t>(n);
    } else {
      out += "\xEF\xBF\xBD";
      i += static_cast<std::size_t>(-n);
    }
  }
  return out;
}

std::uint32_t code_point_at(std::string_view text, std::size_t i, std::size_t& length) {
  auto lead = static_cast<std::uint8_t>(text[i]);
  length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  std::uint32_t c = length == 1 ? lead : lead & (0x7Fu >> length);
  for (std::size_t k = 1; k < length && i + k < text.size(); ++k)
    c = (c << 6) | (static_cast<std::uint8_t>(text[i + k]) & 0x3Fu);
  return c;
}

std::string_view trim_matching(std::string_view text, bool (*drop)(std::uint32_t)) {
  std::size_t begin = 0, length = 0;
  while (begin < text.size() && drop(code_point_at(text, begin, length))) begin += length;
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && (static_cast<std::uint8_t>(text[start]) & 0xC0) == 0x80) --start;
    if (!drop(code_point_at(text, start, length))) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

std::string_view trim_white_space(std::string_view text) { return trim_matching(text, is_white_space); }

std::string ascii_lowercase(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = ascii_lower(c);
  return out;
}

std::size_t encode_utf8(std::uint32_t c, char (&bytes)[4]) {
  if (c < 0x80) {
    bytes[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    bytes[0] = static_cast<char>(0xC0 | (c >> 6));
    bytes[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    bytes[0] = static_cast<char>(0xE0 | (c >> 12));
    bytes[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (c & 0x3F));
    return 3;
  }
  bytes[0] = static_cast<char>(0xF0 | (c >> 18));
  bytes[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
  bytes[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  bytes[3] = static_cast<char>(0x80 | (c & 0x3F));
  return 4;
}

void append_utf8(std::string& out, std::uint32_t c) {
  char bytes[4];
  out.append(bytes, encode_utf8(c, bytes));
}

void append_debug_escaped(std::string& out, std::uint32_t c, char quote) {
  switch (c) {
    case '\t': out += "\\t"; return;
    case '\r': out += "\\r"; return;
    case '\n': out += "\\n"; return;
    case '\0': out += "\\0"; return;
    case '\\': out += "\\\\"; return;
    default: break;
  }
  if (c == static_cast<std::uint32_t>(quote)) {
    out += '\\';
    out += quote;
    return;
  }
  if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0xAD) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (std::uint32_t v = c; v != 0 || hex.empty(); v >>= 4) hex.insert(hex.begin(), digits[v & 0xF]);
    out += "\\u{" + hex + "}";
    return;
  }
  append_utf8(out, c);
}

}  // namespace p11agent
