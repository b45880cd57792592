#include "oneshot/output.h"

#include <chrono>
#include <string>

#include "system/process.h"
#include "wire/request_trace.h"
#include "wire/response.h"

namespace p11agent {

namespace {
// One-shot answers one request, asked when the agent started.
const auto g_asked = std::chrono::steady_clock::now();
}  // namespace

void print_answer(std::string_view answer) {
  trace_answer(answer, g_asked);
  // The answer is lost if standard output is gone; there is no one left to tell.
  platform::write_stdout(std::string(answer) + "\n");
}

void print_error_and_exit(std::string_view message) {
  print_answer(error_response_text(message));
  platform::end_process_now(1);
}

}  // namespace p11agent
