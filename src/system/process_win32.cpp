#include "system/process.h"

#include <windows.h>
#include <shellapi.h>

#include "system/wide.h"

namespace p11agent::platform {

namespace {

// Before the system's error reporting could write a dump of the process.
LONG WINAPI end_at_once(EXCEPTION_POINTERS* exception) {
  TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void set_process_error_mode() {
  // SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX
  SetErrorMode(0x8003);
  SetUnhandledExceptionFilter(end_at_once);
}

std::vector<std::string> arguments(int, char**) {
  // The CRT's argv is in the ANSI code page; the Windows rules applied to the UTF-16
  // command line give the arguments as the caller wrote them.
  std::vector<std::string> args;
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return args;
  for (int i = 1; i < count; ++i) args.push_back(to_utf8(wide[i]));
  LocalFree(wide);
  return args;
}

std::optional<std::size_t> read_stdin_some(char* buffer, std::size_t capacity) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (in == nullptr || in == INVALID_HANDLE_VALUE) return 0;
  DWORD want = capacity > 0x10000000 ? 0x10000000 : static_cast<DWORD>(capacity);
  DWORD got = 0;
  if (ReadFile(in, buffer, want, &got, nullptr)) return got;
  DWORD err = GetLastError();
  // A pipe whose writer has gone, or a handle that is no handle, is the end of input.
  if (err == ERROR_BROKEN_PIPE || err == ERROR_INVALID_HANDLE) return 0;
  return std::nullopt;
}

bool write_stdout(std::string_view bytes) {
  // WriteFile on the raw handle: no CRT text mode, so no "\r" is ever added.
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return false;
  while (!bytes.empty()) {
    DWORD want = bytes.size() > 0x10000000 ? 0x10000000 : static_cast<DWORD>(bytes.size());
    DWORD done = 0;
    if (!WriteFile(out, bytes.data(), want, &done, nullptr) || done == 0) return false;
    bytes.remove_prefix(done);
  }
  return true;
}


void exit_at_once(int status) {
  // ExitProcess would still run every DLL's detach code under the loader lock, which a
  // hanging vendor module may never give up.
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  for (;;) {
  }
}

bool runs_on_several_processors() {
  static const bool several = [] {
    DWORD_PTR process = 0, system = 0;
    return !GetProcessAffinityMask(GetCurrentProcess(), &process, &system) || (process & (process - 1)) != 0;
  }();
  return several;
}

}  // namespace p11agent::platform
