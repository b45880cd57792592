#include "fake_module/self_path.h"

#include <dlfcn.h>

#include <cstdlib>
#include <unistd.h>

std::string fake_module_self_path() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&fake_module_self_path), &info) == 0 || info.dli_fname == nullptr) return {};
  return info.dli_fname;
}

std::string fake_module_folder_variable() {
  const char* dir = std::getenv("P11FAKE_DIR");
  return dir != nullptr ? dir : "";
}

long fake_process_id() { return static_cast<long>(getpid()); }
