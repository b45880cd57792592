#pragma once
// The built agent and the known-module paths that tests may fill with fake modules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/fake_token.h"

namespace testing_support {

// The agent as shipped, or the one that loads every module in its own process (where a
// module's C++ exception reaches the agent's own code).
enum class AgentBuild { Shipped, InProcess };
std::string agent_path(AgentBuild build = AgentBuild::Shipped);

// The module host the agent starts, beside it.
std::string host_path();

// Runs the agent once; the test fails if it writes anything to standard error.
RunResult run_agent(const std::string& input, const std::vector<std::string>& args = {},
                    AgentBuild build = AgentBuild::Shipped);

// The known modules that belong to the test bed (on Linux the last known module is the
// system's own proxy module and is never replaced).
std::vector<std::string> test_known_modules();

// Skips the running test when this build knows fewer test-bed modules than it needs (the
// plain Linux build knows only the system's proxy module).
#define REQUIRE_TEST_BED_MODULES(count)                                                          \
  if (::testing_support::test_known_modules().size() < (count))                                   \
  GTEST_SKIP() << "needs " << (count) << " test-bed modules; this build knows "                  \
               << ::testing_support::test_known_modules().size()

#ifdef _WIN32
// Whether this machine runs 32-bit programs: Wine runs them only where the Linux kernel
// runs 32-bit x86 code (some virtual machines' kernels do not), and without them no
// 32-bit module host starts.
bool runs_32bit_programs();
#define REQUIRE_32BIT_PROGRAMS()                 \
  if (!::testing_support::runs_32bit_programs()) \
  GTEST_SKIP() << "this machine runs no 32-bit programs"
#endif

// The trace of the agents a test starts from now on: P11AGENT_TRACE names a new file in the
// folder of the run's traces (which the run scans for secrets), until this goes.
class TestTrace {
 public:
  explicit TestTrace(const std::string& name);
  ~TestTrace();
  TestTrace(const TestTrace&) = delete;
  TestTrace& operator=(const TestTrace&) = delete;
  const std::string& path() const { return path_; }
  std::vector<json> lines() const;
  // Whether lines with these members (and any others) come in this order.
  ::testing::AssertionResult holds(const std::vector<json>& in_order) const;

 private:
  std::string path_;
  std::string before_;
};

// Removes every fake module installed at a known path (on Windows, its SysWOW64 twin too).
void uninstall_known_modules();

// Where a test module's file is put for a known path: the build's own module at the path,
// or (Windows) the 32-bit build of the same module only in SysWOW64 under the path's name
// (what a 32-bit installer that names System32 makes), or at the path itself.
enum class ModuleBuild { Native, Only32InWow64, Only32AtPath };

// Installs the fake module (or another test module) at a known path with its own scenario.
void install_known_module(const std::string& path, const json& scenario, ModuleBuild build = ModuleBuild::Native,
                          const std::string& target = "fake_pkcs11");

// The SysWOW64 twin of a System32 path.
std::string wow64_twin(const std::string& system32_path);

}  // namespace testing_support
