#include "linux_modules.h"
#include "token/module.h"
#include "token/module_registry.h"

namespace p11agent {

std::vector<std::string> registered_modules() { return modules_registered_in(system_module_registry()); }

const std::vector<std::string>& default_modules() {
  // Fixed when the agent is configured, or else read from p11-kit's configuration once: no
  // module is loaded to learn which are registered.
  static const std::vector<std::string> modules = [] {
    std::vector<std::string> configured = {P11AGENT_LINUX_MODULES};
    return configured.empty() ? registered_modules() : configured;
  }();
  return modules;
}

const std::string& default_enumerate_module() {
  // With nothing registered, the proxy: it answers for no token, as any empty module would.
  static const std::string fallback = "p11-kit-proxy.so";
  return default_modules().empty() ? fallback : default_modules().back();
}

}  // namespace p11agent
