#pragma once

namespace p11agent {

// Where the agent loads modules: each in a host process of its own, or (for measuring what
// the hosts cost, never shipped) in its own process.
enum class ModulePlacement { Hosts, InProcess };

// The whole program: mode choice, intake, dispatch, one answer line. Returns the exit status.
int run_agent(int argc, char** argv, ModulePlacement placement = ModulePlacement::Hosts);

}  // namespace p11agent
