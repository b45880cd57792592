#include <windows.h>
#include <tlhelp32.h>

#include "support/threads.h"

namespace testing_support {

unsigned long long plant_inheritable_handle() {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return reinterpret_cast<ULONG_PTR>(CreateEventW(&inherit, TRUE, FALSE, nullptr));
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
