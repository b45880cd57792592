#pragma once

namespace p11agent {

// The whole program: mode choice, intake, dispatch, one answer line. Returns the exit status.
int run_agent(int argc, char** argv);

}  // namespace p11agent
