#include "platform/library.h"

#include <windows.h>

#include "platform/wide.h"

namespace p11agent::platform {

const char* const LOADER_CALL_NAME = "LoadLibraryExW";

std::expected<void*, LoadFailure> load_library(const std::string& path) {
  std::wstring wide = to_wide(path);
  // No "insert a disk" box for a path on an empty drive; the thread's mode is put back
  // unless it already was exactly this.
  DWORD previous = 0;
  BOOL mode_set = SetThreadErrorMode(SEM_FAILCRITICALERRORS, &previous);
  HMODULE handle = LoadLibraryExW(wide.c_str(), nullptr, 0);
  DWORD error = handle == nullptr ? GetLastError() : 0;
  if (mode_set && previous != SEM_FAILCRITICALERRORS) SetThreadErrorMode(previous, nullptr);
  if (handle == nullptr) return std::unexpected(LoadFailure{error != 0});
  return reinterpret_cast<void*>(handle);
}

void* library_symbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void unload_library(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }

// The empty string, not NULL: NULL restores the default order, working directory included.
bool keep_working_directory_out_of_library_search() { return SetDllDirectoryW(L"") != 0; }

void set_library_directory(const std::string& folder) {
  SetDllDirectoryW(to_wide(folder).c_str());
}

}  // namespace p11agent::platform
