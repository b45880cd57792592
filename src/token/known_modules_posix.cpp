#include "token/module.h"

#include "linux_modules.h"

namespace p11agent {

std::span<const std::string> default_modules() {
  // Fixed when the agent is configured; nothing about it is read at run time.
  static const std::string modules[] = {P11AGENT_LINUX_MODULES};
  return modules;
}

}  // namespace p11agent
