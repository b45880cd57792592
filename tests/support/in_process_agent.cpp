// The agent with every module loaded in its own process, as before module hosts: the
// baseline that bench/run-boundary-cost.sh sets the shipped agent against, and the agent
// whose own code a test module's C++ exception reaches.
#include "app/entry.h"

int main(int argc, char** argv) { return p11agent::run_agent(argc, argv, p11agent::ModulePlacement::InProcess); }
