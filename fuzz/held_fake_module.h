#pragma once
// The test module as the fuzz targets use it: loaded once and held for the whole run, so
// that the loads and releases of the code under test never unload it, and handed each
// scenario in memory (no file is read, no call logged, no delay taken).
#include <dlfcn.h>

#include <cstdlib>
#include <string>

#include "support/fake_token.h"

inline void start_fake_module_over(const std::string& scenario) {
  static void* const library = dlopen(testing_support::fake_module_path().c_str(), RTLD_NOW | RTLD_LOCAL);
  static auto* const start_over = reinterpret_cast<void (*)(const char*)>(dlsym(library, "fake_start_over"));
  if (start_over == nullptr) std::abort();
  start_over(scenario.c_str());
}
