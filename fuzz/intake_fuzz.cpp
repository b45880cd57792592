// The intake's text rules: UTF-8 check, repair, and white-space trimming.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "text/utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string repaired = p11agent::decode_utf8_lossy({data, size});
  if (!p11agent::is_valid_utf8(repaired)) std::abort();
  if (p11agent::is_valid_utf8(bytes) != (repaired == bytes)) std::abort();
  if (p11agent::is_valid_utf8(bytes)) {
    std::string_view trimmed = p11agent::trim_white_space(bytes);
    if (!p11agent::is_valid_utf8(trimmed) || p11agent::trim_white_space(trimmed) != trimmed) std::abort();
  }
  return 0;
}
