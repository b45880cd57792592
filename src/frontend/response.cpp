#include "frontend/response.h"

#include "platform/process.h"

namespace p11agent {

std::string render_json(const Json& object) {
  // Texts reaching here are valid UTF-8; "replace" only guards against a slip.
  return object.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string error_response_text(std::string_view message) {
  return render_json(Json{{"error", std::string(message)}, {"ok", false}});
}

void print_response(const Json& object) {
  // The answer is lost if standard output is gone; there is no one left to tell.
  platform::write_stdout(render_json(object) + "\n");
}

void print_error_and_exit(std::string_view message) {
  platform::write_stdout(error_response_text(message) + "\n");
  platform::end_process_now(1);
}

}  // namespace p11agent
