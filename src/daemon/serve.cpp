#include "daemon/serve.h"

#include <array>

#include "daemon/commands.h"
#include "daemon/line_reader.h"
#include "platform/process.h"
#include "wire/response.h"

namespace p11agent {

namespace {

constexpr std::chrono::seconds START_DEADLINE{8};

struct DaemonCommand {
  std::string_view name;
  std::string (*handle)(DaemonState&, const Request&);
};

// Compared in this order.
constexpr std::array<DaemonCommand, 6> DAEMON_COMMANDS = {{
    {"ping", handle_ping},
    {"list_certs", handle_list_certs},
    {"validate", handle_validate},
    {"logout", handle_logout},
    {"find_cert", handle_find_cert},
    {"sign", handle_sign},
}};

}  // namespace

std::string handle_daemon_request(DaemonState& state, std::string_view line) {
  auto request = parse_request(line);
  if (!request) return error_response_text("invalid JSON request: " + request.error());
  for (const auto& command : DAEMON_COMMANDS)
    if (request->cmd == command.name) return command.handle(state, *request);
  return error_response_text("daemon supports cmd=sign, validate, logout, find_cert, list_certs or ping");
}

int run_serve() {
  DaemonState state;
  state.module_table = state.loader.load(DEFAULT_MODULES, START_DEADLINE);
  state.candidate_paths = DEFAULT_MODULES;
  LineReader reader(platform::read_stdin_some);
  while (auto request = reader.next_request()) {
    std::string answer = handle_daemon_request(state, *request);
    answer += '\n';
    if (!platform::write_stdout(answer)) break;
  }
  release_state(state);
  return 0;
}

}  // namespace p11agent
