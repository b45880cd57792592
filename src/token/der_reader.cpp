#include "token/der_reader.h"

#include <algorithm>

namespace p11agent {

std::string dotted_oid(std::span<const std::uint8_t> content) {
  std::string dotted;
  std::uint64_t arc = 0;
  for (std::uint8_t byte : content) {
    if (arc > (UINT64_MAX >> 7)) return "";
    arc = arc << 7 | (byte & 0x7F);
    if (byte & 0x80) continue;
    if (dotted.empty()) {
      const std::uint64_t first = std::min<std::uint64_t>(arc / 40, 2);
      dotted = std::to_string(first) + "." + std::to_string(arc - first * 40);
    } else {
      dotted += "." + std::to_string(arc);
    }
    arc = 0;
  }
  return !content.empty() && (content.back() & 0x80) == 0 ? dotted : "";
}

}  // namespace p11agent
