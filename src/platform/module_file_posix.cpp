#include "platform/module_file.h"

#include "platform/files.h"

namespace p11agent::platform {

std::optional<ModuleFile> find_module_file(const std::string& path) {
  if (!file_exists(path)) return std::nullopt;
  ModuleMachine machine = read_module_machine(path);
  std::string unloadable = wrong_machine_text(machine);
  return ModuleFile{path, std::move(machine), false, std::move(unloadable)};
}

std::optional<ModuleHost32> module_host_32(const std::string&) { return std::nullopt; }

}  // namespace p11agent::platform
