#include <windows.h>
#include <tlhelp32.h>

#include <string>

#include "support/threads.h"

namespace testing_support {

unsigned long long plant_inheritable_handle() {
  // A file whose name tells it apart: another process may hold a handle of the same value.
  wchar_t folder[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, folder);
  const std::wstring path = std::wstring(folder) + L"p11agent-planted-" + std::to_wstring(GetCurrentProcessId());
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return reinterpret_cast<ULONG_PTR>(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                                 CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
}

long thread_count() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  long count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  CloseHandle(snapshot);
  return count;
}

}  // namespace testing_support
