#include "support/agent.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "token/module.h"

#ifdef _WIN32
#include <windows.h>

#include "system/wide.h"
#endif

namespace testing_support {

std::string agent_path(AgentBuild build) {
  const bool in_process = build == AgentBuild::InProcess;
#ifdef _WIN32
  return executable_folder() + (in_process ? "\\p11agent_in_process_testbed.exe" : "\\p11agent.exe");
#else
  // The agents built to know the test bed's modules, as these tests do.
  return executable_folder() + (in_process ? "/p11agent_in_process_testbed" : "/p11agent_testbed");
#endif
}

std::string host_path() {
#ifdef _WIN32
  return executable_folder() + "\\p11agent-host.exe";
#else
  return executable_folder() + "/p11agent-host";
#endif
}

RunResult run_agent(const std::string& input, const std::vector<std::string>& args, AgentBuild build) {
  RunResult result = run_program(agent_path(build), args, input);
  EXPECT_EQ(result.err, "") << "the agent never writes to standard error";
  return result;
}

std::vector<std::string> test_known_modules() {
  std::vector<std::string> ours;
  for (const std::string& path : p11agent::default_modules())
    if (path.find("System32") != std::string::npos || path.find("/known/") != std::string::npos) ours.push_back(path);
  return ours;
}

std::string wow64_twin(const std::string& system32_path) {
  const std::string system32 = "C:\\Windows\\System32";
  return "C:\\Windows\\SysWOW64" + system32_path.substr(system32.size());
}

#ifdef _WIN32
bool runs_32bit_programs() {
  // The 32-bit host started without its argument ends at once with status 2; where 32-bit
  // programs do not run, it does not start at all.
  static const bool runs = [] {
    std::wstring command = L"\"" + p11agent::platform::to_wide(executable_folder()) + L"\\p11agent-host32.exe\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
      return false;
    DWORD status = 0;
    WaitForSingleObject(info.hProcess, 30000);
    GetExitCodeProcess(info.hProcess, &status);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return status == 2;
  }();
  return runs;
}
#endif

void uninstall_known_modules() {
  for (const std::string& path : test_known_modules()) {
    remove_file(path);
#ifdef _WIN32
    remove_file(wow64_twin(path));
#endif
  }
}

void install_known_module(const std::string& path, const json& scenario, ModuleBuild build, const std::string& target) {
  remove_file(path);
#ifdef _WIN32
  remove_file(wow64_twin(path));
  // The 32-bit builds of the test modules, beside the 32-bit host's build.
  const std::string built = build == ModuleBuild::Native ? fake_module_path(target) : fake_module_path("host32\\" + target);
  install_file(built, build == ModuleBuild::Only32InWow64 ? wow64_twin(path) : path);
#else
  install_file(fake_module_path(target), path);
  (void)build;
#endif
  fake_folder().write_scenario(file_name_of(path), scenario);
}

namespace {
// Where the run keeps its traces (P11AGENT_TEST_TRACES); beside the tests otherwise.
std::string trace_folder() {
  const char* folder = std::getenv("P11AGENT_TEST_TRACES");
  std::string chosen = folder != nullptr && *folder != '\0' ? folder : executable_folder() + "/traces";
  std::filesystem::create_directories(chosen);
  return chosen;
}
}  // namespace

TestTrace::TestTrace(const std::string& name) {
  const char* before = std::getenv("P11AGENT_TRACE");
  before_ = before != nullptr ? before : "";
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  path_ = trace_folder() + "/" + (test != nullptr ? std::string(test->name()) + "-" : "") + name + ".jsonl";
  std::filesystem::remove(path_);
  set_environment("P11AGENT_TRACE", path_);
}

TestTrace::~TestTrace() { set_environment("P11AGENT_TRACE", before_); }

std::vector<json> TestTrace::lines() const {
  std::vector<json> lines;
  std::ifstream in(path_, std::ios::binary);
  for (std::string line; std::getline(in, line);) lines.push_back(json::parse(line, nullptr, false));
  return lines;
}

::testing::AssertionResult TestTrace::holds(const std::vector<json>& in_order) const {
  const std::vector<json> traced = lines();
  std::size_t next = 0;
  for (const json& wanted : in_order) {
    auto matches = [&](const json& line) {
      for (const auto& [key, value] : wanted.items())
        if (!line.is_object() || !line.contains(key) || line[key] != value) return false;
      return true;
    };
    while (next < traced.size() && !matches(traced[next])) ++next;
    if (next == traced.size()) {
      std::string all;
      for (const json& line : traced) all += line.dump() + "\n";
      return ::testing::AssertionFailure() << "no line " << wanted.dump() << " (in this order) in " << path_ << ":\n" << all;
    }
    ++next;
  }
  return ::testing::AssertionSuccess();
}

}  // namespace testing_support
