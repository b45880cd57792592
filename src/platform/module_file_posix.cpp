#include "platform/module_file.h"

#include "platform/files.h"

namespace p11agent::platform {

std::optional<ModuleFile> find_module_file(const std::string& path) {
  if (!file_exists(path)) return std::nullopt;
  return ModuleFile{path, read_module_machine(path), false};
}

std::optional<ModuleHost32> module_host_32(const std::string&) { return std::nullopt; }

}  // namespace p11agent::platform
