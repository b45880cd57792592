// The daemon's request handling over a module that answers arbitrarily: the first line of
// the input is the fake module's scenario, every further line a request.
#include <dlfcn.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "daemon/serve.h"
#include "support/fake_token.h"
#include "text/utf8.h"

namespace {

// The fuzz target holds the module loaded for the whole run, so the agent's loads and
// releases do not unload it, and hands it each scenario in memory (where delays are left
// out: they would only slow the search down).
void start_module_over(const std::string& path, const std::string& scenario) {
  static void* const library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  static auto* const start_over = reinterpret_cast<void (*)(const char*)>(dlsym(library, "fake_start_over"));
  if (start_over == nullptr) std::abort();
  start_over(scenario.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace p11agent;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::size_t first_line = input.find('\n');
  static const std::string path = testing_support::fake_module_path();
  start_module_over(path, std::string(input.substr(0, first_line)));
  DaemonState state;
  if (auto module = open_module(path)) state.module_table[path] = *module;
  state.candidate_paths = {path};
  std::string_view rest = first_line == std::string_view::npos ? std::string_view() : input.substr(first_line + 1);
  int requests = 0;
  while (!rest.empty() && requests++ < 16) {
    std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (!is_valid_utf8(line)) break;
    line = trim_white_space(line);
    if (line.empty()) continue;
    std::string answer = handle_daemon_request(state, line);
    if (answer.empty() || answer.find('\n') != std::string::npos || answer.find("\"ok\":") == std::string::npos)
      std::abort();
  }
  release_state(state);
  return 0;
}
