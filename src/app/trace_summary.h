#pragma once
// p11agent --trace-summary FILE: a trace told for a person. Each request with its answer
// and, under a failed one, the calls that failed, the deadlines that passed, the hosts that
// ended and the prompts that gave nothing, in the order they happened.
#include <string>

namespace p11agent {

// Prints the summary of the file; 0, or 1 with a line that says why there is none.
int run_trace_summary(const std::string& file);

}  // namespace p11agent
