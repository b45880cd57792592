#pragma once
// The serve mode: one request per input line, one answer line each.
#include <string>
#include <string_view>

#include "daemon/daemon_state.h"

namespace p11agent {

// The answer line (without its line end) for one trimmed, non-blank request line.
std::string handle_daemon_request(DaemonState& state, std::string_view line);

// Loads the known modules, answers lines until the input ends, releases everything.
// Returns the exit status.
int run_serve();

// The same for a browser that started the agent as its native-messaging host: requests
// and answers are length-prefixed messages instead of lines.
int run_native_host();

}  // namespace p11agent
