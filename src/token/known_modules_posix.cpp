#include "token/module.h"

#include "linux_modules.h"

namespace p11agent {

// Fixed when the agent is configured; nothing about it is read at run time.
const std::vector<std::string> DEFAULT_MODULES = {P11AGENT_LINUX_MODULES};

const std::string DEFAULT_ENUMERATE_MODULE = DEFAULT_MODULES.back();

}  // namespace p11agent
