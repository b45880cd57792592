#include "sign/prompt_trace.h"

#include "trace/trace.h"
#include "text/json_fields.h"

namespace p11agent {

namespace {

std::string_view end_word(platform::PromptEnd end) {
  switch (end) {
    case platform::PromptEnd::Cancelled: return "cancelled";
    case platform::PromptEnd::TimedOut: return "timeout";
    case platform::PromptEnd::Unavailable: return "unavailable";
    case platform::PromptEnd::Failed: return "failed";
    case platform::PromptEnd::Withdrawn: return "token_removed";
  }
  return "failed";
}

}  // namespace

void trace_shown(std::string_view event, std::string_view asks, const std::string& program) {
  JsonFields line;
  line.text("what", "shown").text("asks", asks);
  if (!program.empty()) line.text("program", program);
  platform::trace(event, line.str(), platform::TraceWrite::Now);
}

void trace_ended(std::string_view event, std::string_view asks, std::string_view done,
                 const std::optional<platform::PromptStop>& stop) {
  JsonFields line;
  line.text("what", "ended").text("asks", asks).text("end", stop ? end_word(stop->end) : done);
  if (stop && !stop->detail.empty()) line.text("detail", stop->detail);
  platform::trace(event, line.str());
}

}  // namespace p11agent
