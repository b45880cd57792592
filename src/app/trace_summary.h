#pragma once
// p11agent --trace-summary FILE: a trace told for a person. Each request with its answer
// and, under a failed one, the calls that failed, the deadlines that passed, the hosts that
// ended and the prompts that gave nothing, in the order they happened.
#include <optional>
#include <string>
#include <string_view>

namespace p11agent {

// The summary of a trace's text; nullopt when it is not a trace (its first line is not one).
std::optional<std::string> summarize_trace(std::string_view text);

// Prints the summary of the file; 0, or 1 with a line that says why there is none.
int run_trace_summary(const std::string& file);

}  // namespace p11agent
