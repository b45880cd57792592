#pragma once
// The modules p11-kit registers, read from its configuration files as p11-kit reads them,
// without loading a module: a module that hangs or crashes when loaded must not hide the
// others.
#include <string>
#include <vector>

namespace p11agent {

// Where p11-kit keeps its configuration on this system.
struct ModuleRegistryPlaces {
  std::string global_config;  // pkcs11.conf: its user-config option
  std::string user_config;    // the user's pkcs11.conf
  std::string user_dir;       // module configurations: the user's, the system's, the packages'
  std::string system_dir;
  std::string package_dir;
  std::string module_dir;     // where a module named without a folder is
  bool user_allowed = true;   // p11-kit reads no user configuration for a privileged process
};

ModuleRegistryPlaces system_module_registry();

// The paths of the modules the proxy takes (enable-in and disable-in), the highest priority
// first, then by configuration name.
std::vector<std::string> modules_registered_in(const ModuleRegistryPlaces& places);

}  // namespace p11agent
