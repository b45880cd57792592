#include "frontend/entry.h"

#include <array>
#include <string_view>

#include "daemon/serve.h"
#include "frontend/commands.h"
#include "frontend/text.h"
#include "platform/process.h"

namespace p11agent {

namespace {

struct OneShotCommand {
  std::string_view name;
  CommandResult (*run)(const Request&);
};

// Compared in this order.
constexpr std::array<OneShotCommand, 4> ONE_SHOT_COMMANDS = {{
    {"enumerate", run_enumerate},
    {"sign", run_sign},
    {"find_cert", run_find_cert},
    {"list_certs", run_list_certs},
}};

Request read_one_shot_request() {
  auto text = platform::read_stdin_to_end();
  if (!text || !is_valid_utf8(*text)) print_error_and_exit("failed to read request from stdin");
  auto request = parse_request(trim_white_space(*text));
  if (!request) print_error_and_exit("invalid JSON request: " + request.error());
  if (request->module && request->module->empty()) request->module.reset();
  return std::move(*request);
}

int run_one_shot() {
  const Request request = read_one_shot_request();
  for (const auto& command : ONE_SHOT_COMMANDS) {
    if (request.cmd != command.name) continue;
    CommandResult answer = command.run(request);
    if (!answer) print_error_and_exit(answer.error());
    print_response(*answer);
    return 0;
  }
  print_error_and_exit("unknown cmd '" + request.cmd + "' (use: enumerate | list_certs | sign | find_cert)");
}

}  // namespace

int run_agent(int argc, char** argv) {
  platform::set_process_error_mode();
  auto args = platform::arguments(argc, argv);
  // Loader threads may still be inside a vendor module: the daemon ends the process
  // without the exit-time clean-up they could race with.
  if (!args.empty() && args.front() == "serve") platform::end_process_now(run_serve());
  // The answer is written and every module released: the libraries' exit-time clean-up
  // (OpenSSL frees its tables, for one) would only delay the caller.
  platform::end_process_now(run_one_shot());
}

}  // namespace p11agent
