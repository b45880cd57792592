#pragma once

namespace p11agent {

// Reads one request from standard input to its end, runs its command and writes the one
// answer line. Returns the exit status; a failure ends the process with status 1.
int run_one_shot();

}  // namespace p11agent
