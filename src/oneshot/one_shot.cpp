#include "oneshot/one_shot.h"

#include <array>
#include <string_view>

#include "oneshot/commands.h"
#include "oneshot/output.h"
#include "system/process.h"
#include "text/utf8.h"
#include "wire/request_trace.h"
#include "wire/response.h"

namespace p11agent {

namespace {

struct OneShotCommand {
  std::string_view name;
  CommandResult (*run)(const Request&);
};

// Compared in this order.
constexpr std::array<OneShotCommand, 5> ONE_SHOT_COMMANDS = {{
    {"enumerate", run_enumerate},
    {"sign", run_sign},
    {"find_cert", run_find_cert},
    {"list_certs", run_list_certs},
    {"choose_cert", run_choose_cert},
}};

Request read_one_shot_request() {
  auto text = platform::read_stdin_to_end();
  if (!text || !is_valid_utf8(*text)) print_error_and_exit("failed to read request from stdin");
  auto request = parse_request(trim_white_space(*text));
  if (!request) print_error_and_exit("invalid JSON request: " + request.error());
  if (request->module && request->module->empty()) request->module.reset();
  trace_request(*request);
  return std::move(*request);
}

}  // namespace

int run_one_shot() {
  const Request request = read_one_shot_request();
  for (const auto& command : ONE_SHOT_COMMANDS) {
    if (request.cmd != command.name) continue;
    CommandResult answer;
    try {
      answer = command.run(request);
    } catch (const std::exception& thrown) {
      print_error_and_exit(unexpected_failure_text(thrown));
    }
    if (!answer) print_error_and_exit(answer.error());
    print_answer(*answer);
    return 0;
  }
  print_error_and_exit("unknown cmd '" + request.cmd + "' (use: enumerate | list_certs | sign | find_cert)");
}

}  // namespace p11agent
