#include "fake_module/self_path.h"

#include <dlfcn.h>

std::string fake_module_self_path() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&fake_module_self_path), &info) == 0 || info.dli_fname == nullptr) return {};
  return info.dli_fname;
}
