// The request parser: any text gets a request or one message that ends with its position.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "wire/request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto request = p11agent::parse_request(text);
  if (!request && request.error().find(" at line ") == std::string::npos) std::abort();
  return 0;
}
