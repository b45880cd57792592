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

// Takes the working directory out of the search for the libraries that modules depend on,
// before any module is loaded: the caller's working directory is the caller's, and a
// library planted there must not run inside the agent. PATH stays searched (vendor
// installers rely on it). Nothing to do on Linux, whose loader never searches there.
// False when the system refused.
bool keep_working_directory_out_of_library_search();

// Adds a folder to the search path for the DLLs that later loads depend on, in the place
// the working directory had (process-wide, never reset: a reset would bring the working
// directory back). Nothing on Linux.
void set_library_directory(const std::string& folder);

}  // namespace p11agent::platform
