#pragma once
// The built agent and the known-module paths that tests may fill with fake modules.
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/fake_token.h"

namespace testing_support {

std::string agent_path();

// Runs the agent once; the test fails if it writes anything to standard error.
RunResult run_agent(const std::string& input, const std::vector<std::string>& args = {});

// The known modules that belong to the test bed (on Linux the last known module is the
// system's own proxy module and is never replaced).
std::vector<std::string> test_known_modules();

// Removes every fake module installed at a known path.
void uninstall_known_modules();

// Installs the fake module at a known path with its own scenario.
void install_known_module(const std::string& path, const json& scenario);

}  // namespace testing_support
