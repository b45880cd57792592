#pragma once
// The trace's lines of a request and its answer: what was asked (never a PIN, a hash or a
// page's words: only whether a PIN came and how long the hash and the words were) and how
// it was answered, with the request's time.
#include <chrono>
#include <string_view>

#include "wire/request.h"

namespace p11agent {

void trace_request(const Request& request);

// `answer`: the answer line as written; `asked`: when the request was read.
void trace_answer(std::string_view answer, std::chrono::steady_clock::time_point asked);

}  // namespace p11agent
