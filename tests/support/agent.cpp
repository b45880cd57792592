#include "support/agent.h"

#include <gtest/gtest.h>

#include "token/module.h"

namespace testing_support {

std::string agent_path() {
#ifdef _WIN32
  return executable_folder() + "\\p11agent.exe";
#else
  // The agent built to know the test bed's modules, as these tests do.
  return executable_folder() + "/p11agent_testbed";
#endif
}

RunResult run_agent(const std::string& input, const std::vector<std::string>& args) {
  RunResult result = run_program(agent_path(), args, input);
  EXPECT_EQ(result.err, "") << "the agent never writes to standard error";
  return result;
}

std::vector<std::string> test_known_modules() {
  std::vector<std::string> ours;
  for (const std::string& path : p11agent::default_modules())
    if (path.find("System32") != std::string::npos || path.find("/known/") != std::string::npos) ours.push_back(path);
  return ours;
}

void uninstall_known_modules() {
  for (const std::string& path : test_known_modules()) remove_file(path);
}

void install_known_module(const std::string& path, const json& scenario) {
  install_file(fake_module_path(), path);
  fake_folder().write_scenario(file_name_of(path), scenario);
}

}  // namespace testing_support
