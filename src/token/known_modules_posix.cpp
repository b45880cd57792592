#include <p11-kit/p11-kit.h>

#include <cstdlib>
#include <memory>

#include "linux_modules.h"
#include "token/module.h"
#include "token/module_host.h"

namespace p11agent {

namespace {

// A text p11-kit hands over, freed with free().
std::string taken(char* text) {
  std::unique_ptr<char, decltype(&std::free)> owned(text, &std::free);
  return owned ? std::string(owned.get()) : std::string();
}

// Whether the proxy takes the module, by the module's enable-in and disable-in options.
bool proxy_takes(CK_FUNCTION_LIST* module) {
  const std::string proxy = "p11-kit-proxy";
  auto names = [&](const std::string& list) {
    for (std::size_t at = 0; at <= list.size();) {
      std::size_t end = list.find_first_of(", \t", at);
      if (end == std::string::npos) end = list.size();
      if (list.compare(at, end - at, proxy) == 0) return true;
      at = end + 1;
    }
    return false;
  };
  const std::string enabled = taken(p11_kit_config_option(module, "enable-in"));
  const std::string disabled = taken(p11_kit_config_option(module, "disable-in"));
  return (enabled.empty() || names(enabled)) && !names(disabled);
}

}  // namespace

std::vector<std::string> registered_modules() {
  // Loaded, not initialised: p11-kit reads each module's configuration and function list.
  std::vector<std::string> paths;
  CK_FUNCTION_LIST** modules = p11_kit_modules_load(nullptr, P11_KIT_MODULE_UNMANAGED);
  if (modules == nullptr) return paths;
  for (CK_FUNCTION_LIST** module = modules; *module != nullptr; ++module) {
    std::string path = taken(p11_kit_module_get_filename(*module));
    if (!path.empty() && proxy_takes(*module)) paths.push_back(std::move(path));
  }
  p11_kit_modules_release(modules);
  return paths;
}

const std::vector<std::string>& default_modules() {
  // Fixed when the agent is configured, or else asked of p11-kit until it answers. Only the
  // thread that handles requests asks.
  static std::vector<std::string> modules = {P11AGENT_LINUX_MODULES};
  static bool known = !modules.empty();
  if (!known) {
    auto registered = module_hosting() != nullptr ? ModuleHost::registered_modules()
                                                  : std::optional(registered_modules());
    known = registered.has_value();
    if (registered) modules = std::move(*registered);
  }
  return modules;
}

const std::string& default_enumerate_module() {
  // With nothing registered, the proxy: it answers for no token, as any empty module would.
  static const std::string fallback = "p11-kit-proxy.so";
  return default_modules().empty() ? fallback : default_modules().back();
}

}  // namespace p11agent
