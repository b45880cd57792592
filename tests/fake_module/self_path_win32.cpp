#include "fake_module/self_path.h"

#include <windows.h>

std::string fake_module_self_path() {
  HMODULE self = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&fake_module_self_path), &self);
  char path[MAX_PATH * 4] = {};
  GetModuleFileNameA(self, path, sizeof path);
  return path;
}

std::string fake_module_folder_variable() {
  // Not getenv: the C runtime's copy of the environment misses later changes.
  char value[MAX_PATH * 4] = {};
  DWORD n = GetEnvironmentVariableA("P11FAKE_DIR", value, sizeof value);
  return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

long fake_process_id() { return static_cast<long>(GetCurrentProcessId()); }

std::string fake_reach_report(const std::vector<unsigned long long>& probes) {
  std::string held;
  for (unsigned long long value : probes) {
    // The same value may be a handle of this process's own: only the planted file counts.
    char name[MAX_PATH * 4] = {};
    if (GetFinalPathNameByHandleA(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value)), name, sizeof name, 0) &&
        std::string(name).find("p11agent-planted-") != std::string::npos)
      held += (held.empty() ? "" : ",") + std::to_string(value);
  }
  return "{\"descriptors\":{},\"probes_held\":[" + held + "]}";
}
