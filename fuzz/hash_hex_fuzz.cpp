// The hash decoder: bytes out are exactly half the trimmed digits, or a message.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "text/utf8.h"
#include "wire/hash_hex.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!p11agent::is_valid_utf8(text)) return 0;  // requests carry valid UTF-8 only
  auto decoded = p11agent::decode_hash_hex(text);
  if (decoded && decoded->size() * 2 != p11agent::trim_white_space(text).size()) std::abort();
  return 0;
}
