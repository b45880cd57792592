#include "wire/request_trace.h"

#include "trace/trace.h"
#include "text/json_fields.h"
#include "wire/response.h"

namespace p11agent {

namespace {

void optional_text(JsonFields& line, std::string_view key, const std::optional<std::string>& value) {
  if (value) line.text(key, *value);
}

}  // namespace

void trace_request(const Request& request) {
  if (!platform::tracing()) return;
  JsonFields line;
  line.text("cmd", request.cmd);
  optional_text(line, "origin", request.origin);
  optional_text(line, "module", request.module);
  optional_text(line, "thumbprint", request.thumbprint);
  optional_text(line, "algorithm", request.algorithm);
  optional_text(line, "hash", request.hash);
  optional_text(line, "signature_format", request.signature_format);
  if (request.hash_hex) line.number("hash_hex_chars", static_cast<std::int64_t>(request.hash_hex->size()));
  // The nonce is the site's secret for one login: only its length is written.
  if (request.challenge_nonce)
    line.number("challenge_nonce_chars", static_cast<std::int64_t>(request.challenge_nonce->size()));
  if (request.description) line.number("description_bytes", static_cast<std::int64_t>(request.description->size()));
  line.flag("pin_given", carries_pin(request));
  if (request.pin_prompt) line.flag("pin_prompt", true);
  platform::trace("request", line.str());
}

void trace_answer(std::string_view answer, std::chrono::steady_clock::time_point asked) {
  if (!platform::tracing()) return;
  JsonFields line;
  // An error answer is rendered by error_response_text alone: its error, then "ok":false.
  const bool failed = answer.starts_with("{\"error\":");
  line.flag("ok", !failed);
  if (failed) {
    const Json parsed = Json::parse(answer, nullptr, false);
    if (parsed.is_object() && parsed.contains("error") && parsed["error"].is_string())
      line.text("error", parsed["error"].get<std::string>());
  }
  const auto took = std::chrono::steady_clock::now() - asked;
  line.number("us", std::chrono::duration_cast<std::chrono::microseconds>(took).count());
  platform::trace("answer", line.str());
}

}  // namespace p11agent
