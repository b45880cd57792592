// The daemon's request handling over a module that answers arbitrarily: the first line of
// the input is the fake module's scenario, every further line a request.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "daemon/serve.h"
#include "support/fake_token.h"
#include "text/utf8.h"

namespace {

// Delays would only slow the search down; everything else the scenario says stands.
std::string without_delays(const std::string& scenario) {
  auto doc = nlohmann::json::parse(scenario, nullptr, false);
  if (!doc.is_object()) return scenario;
  doc.erase("delay_ms");
  return doc.dump();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace p11agent;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::size_t first_line = input.find('\n');
  std::string scenario(input.substr(0, first_line));
  const std::string path = testing_support::fake_module_path();
  const auto& folder = testing_support::fake_folder();
  {
    // A first line that is not JSON makes a module without slots.
    nlohmann::json parsed = nlohmann::json::parse(scenario, nullptr, false);
    folder.write_scenario(testing_support::file_name_of(path),
                          parsed.is_discarded() ? nlohmann::json(nullptr) : nlohmann::json::parse(without_delays(scenario)));
  }
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
  return 0;
}
