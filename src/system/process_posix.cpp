#include "system/process.h"

#include <cerrno>
#include <csignal>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace p11agent::platform {

void set_process_error_mode() {
  // A caller that closes our standard output must not kill the agent mid-answer.
  std::signal(SIGPIPE, SIG_IGN);
  const rlimit no_core{0, 0};
  (void)::setrlimit(RLIMIT_CORE, &no_core);
  (void)::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

std::vector<std::string> arguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return args;
}

std::optional<std::size_t> read_stdin_some(char* buffer, std::size_t capacity) {
  for (;;) {
    ssize_t n = ::read(STDIN_FILENO, buffer, capacity);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    if (errno == EBADF) return 0;
    return std::nullopt;
  }
}

bool write_stdout(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}


// Present only in sanitizer builds: the leak check that a normal exit would have run.
extern "C" void __lsan_do_leak_check() __attribute__((weak));

void exit_at_once(int status) {
  if (__lsan_do_leak_check != nullptr) __lsan_do_leak_check();
  ::_exit(status);
}

bool runs_on_several_processors() {
  static const bool several = [] {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    return ::sched_getaffinity(0, sizeof allowed, &allowed) != 0 || CPU_COUNT(&allowed) > 1;
  }();
  return several;
}

}  // namespace p11agent::platform
