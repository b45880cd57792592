#include "platform/process.h"

namespace p11agent::platform {

std::optional<std::string> read_stdin_to_end() {
  std::string all;
  char chunk[65536];
  for (;;) {
    auto n = read_stdin_some(chunk, sizeof chunk);
    if (!n) return std::nullopt;
    if (*n == 0) return all;
    all.append(chunk, *n);
  }
}

}  // namespace p11agent::platform
