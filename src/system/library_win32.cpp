#include "system/library.h"

#include <windows.h>

#include "system/wide.h"

namespace p11agent::platform {

const char* const LOADER_CALL_NAME = "LoadLibraryExW";

namespace {

// A drive's root ("C:\\"), a share ("\\\\server\\share"), or the root of the working
// folder's drive ("\\dir\\m.dll").
bool is_rooted(const std::string& path) {
  const bool drive = path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
  return drive || path.starts_with('\\') || path.starts_with('/');
}

// The path in the form the alternate search takes its folder from: full, with backslashes
// (given "C:/x/m.dll", the loader keeps the standard search and misses the DLLs beside it).
std::wstring full_path(const std::wstring& path) {
  const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return path;
  std::wstring full(size, L'\0');
  const DWORD written = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  if (written == 0 || written >= size) return path;
  full.resize(written);
  return full;
}

// A module named by its full path finds the DLLs it depends on beside itself first, as its
// installer put them there: LOAD_WITH_ALTERED_SEARCH_PATH starts the search in the module's
// own folder, then the folder SetDllDirectory named (the directory rule), then the system
// folders. For a 32-bit host that opens a module of the real System32 through Sysnative,
// the system folder is SysWOW64: without this its neighbours are not found. The flag's
// search with a relative path is undefined (LoadLibraryExW's reference), so such a path
// keeps the standard search, and is not made full against the working folder.
DWORD search_flags_for(const std::string& path) { return is_rooted(path) ? LOAD_WITH_ALTERED_SEARCH_PATH : 0; }

}  // namespace

std::expected<void*, LoadFailure> load_library(const std::string& path) {
  const std::wstring wide = is_rooted(path) ? full_path(to_wide(path)) : to_wide(path);
  // No "insert a disk" box for a path on an empty drive; the thread's mode is put back
  // unless it already was exactly this.
  DWORD previous = 0;
  BOOL mode_set = SetThreadErrorMode(SEM_FAILCRITICALERRORS, &previous);
  HMODULE handle = LoadLibraryExW(wide.c_str(), nullptr, search_flags_for(path));
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
