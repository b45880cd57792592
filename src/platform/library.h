#pragma once
// Loading a module library and finding one export in it.
#include <cstdint>
#include <expected>
#include <string>

namespace p11agent::platform {

// How the system's loader reported a failure.
struct LoadFailure {
  bool system_reported = false;  // the loader gave an error code
};

// The loader call named in load-failure texts.
extern const char* const LOADER_CALL_NAME;

std::expected<void*, LoadFailure> load_library(const std::string& path);
void* library_symbol(void* library, const char* name);
void unload_library(void* library);

// Adds a folder to the search path for the DLLs that later loads depend on (process-wide,
// never reset). Nothing on Linux.
void set_library_directory(const std::string& folder);

}  // namespace p11agent::platform
