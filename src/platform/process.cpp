#include "platform/process.h"

namespace p11agent::platform {

std::optional<WipedString> read_stdin_to_end() {
  WipedString all;
  char chunk[65536];
  for (;;) {
    auto n = read_stdin_some(chunk, sizeof chunk);
    if (!n || *n == 0) {
      secure_zero(chunk, sizeof chunk);
      if (!n) return std::nullopt;
      return all;
    }
    all.append(chunk, *n);
  }
}

}  // namespace p11agent::platform
