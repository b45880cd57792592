#include "system/library.h"

#include <dlfcn.h>

namespace p11agent::platform {

const char* const LOADER_CALL_NAME = "dlopen";

std::expected<void*, LoadFailure> load_library(const std::string& path) {
  dlerror();
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return std::unexpected(LoadFailure{dlerror() != nullptr});
  return handle;
}

void* library_symbol(void* library, const char* name) { return ::dlsym(library, name); }

void unload_library(void* library) { ::dlclose(library); }

bool keep_working_directory_out_of_library_search() { return true; }

void set_library_directory(const std::string&) {}

}  // namespace p11agent::platform
