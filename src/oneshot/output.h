#pragma once
// The one-shot answer: one line on standard output.
#include <string_view>

namespace p11agent {

// Writes the answer and "\n" to standard output.
void print_answer(std::string_view answer);

// Writes {"error":message,"ok":false} and "\n" to standard output and ends the process
// with status 1.
[[noreturn]] void print_error_and_exit(std::string_view message);

}  // namespace p11agent
