#include "oneshot/output.h"

#include <string>

#include "platform/process.h"
#include "wire/response.h"

namespace p11agent {

void print_answer(std::string_view answer) {
  // The answer is lost if standard output is gone; there is no one left to tell.
  platform::write_stdout(std::string(answer) + "\n");
}

void print_error_and_exit(std::string_view message) {
  platform::write_stdout(error_response_text(message) + "\n");
  platform::end_process_now(1);
}

}  // namespace p11agent
