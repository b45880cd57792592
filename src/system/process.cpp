#include "system/process.h"

#include <atomic>

namespace p11agent::platform {

namespace {
std::atomic<void (*)(int)> g_last_words{nullptr};
}  // namespace

void at_process_end(void (*last_words)(int status)) { g_last_words = last_words; }

void end_process_now(int status) {
  if (auto last_words = g_last_words.load()) last_words(status);
  exit_at_once(status);
}

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
