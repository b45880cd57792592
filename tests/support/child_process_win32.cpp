#include <windows.h>

#include "support/child_process.h"

namespace testing_support {

namespace {

std::wstring wide(const std::string& s) {
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

// Quotes one argument by the rules CommandLineToArgvW undoes.
std::wstring quoted(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  return out + L"\"";
}

class WindowsChild : public RawChild {
 public:
  WindowsChild(const std::string& program, const std::vector<std::string>& args) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE in_read, out_write, err_write;
    CreatePipe(&in_read, &in_, &inherit, 0);
    CreatePipe(&out_, &out_write, &inherit, 0);
    CreatePipe(&err_, &err_write, &inherit, 0);
    SetHandleInformation(in_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(out_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_, HANDLE_FLAG_INHERIT, 0);
    std::wstring command = quoted(wide(program));
    for (const auto& a : args) command += L" " + quoted(wide(a));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in_read;
    startup.hStdOutput = out_write;
    startup.hStdError = err_write;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
      ExitProcess(3);
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    CloseHandle(in_read);
    CloseHandle(out_write);
    CloseHandle(err_write);
  }
  ~WindowsChild() override {
    close_stdin();
    close_stdout();
    CloseHandle(err_);
    CloseHandle(process_);
  }
  bool write_stdin(const char* data, std::size_t size) override {
    while (size > 0) {
      DWORD done = 0;
      if (!WriteFile(in_, data, static_cast<DWORD>(size > 1 << 20 ? 1 << 20 : size), &done, nullptr) || done == 0)
        return false;
      data += done;
      size -= done;
    }
    return true;
  }
  void close_stdin() override {
    if (in_ != nullptr) CloseHandle(in_);
    in_ = nullptr;
  }
  void close_stdout() override {
    if (out_ != nullptr) CloseHandle(out_);
    out_ = nullptr;
  }
  std::size_t read_stdout(char* buffer, std::size_t size) override { return read_from(out_, buffer, size); }
  std::size_t read_stderr(char* buffer, std::size_t size) override { return read_from(err_, buffer, size); }
  int wait() override {
    WaitForSingleObject(process_, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return static_cast<int>(code);
  }
  void kill() override { TerminateProcess(process_, 137); }
  long id() const override { return static_cast<long>(GetProcessId(process_)); }

 private:
  static std::size_t read_from(HANDLE h, char* buffer, std::size_t size) {
    DWORD n = 0;
    if (!ReadFile(h, buffer, static_cast<DWORD>(size), &n, nullptr)) return 0;
    return n;
  }
  HANDLE in_ = nullptr, out_ = nullptr, err_ = nullptr, process_ = nullptr;
};

}  // namespace

std::unique_ptr<RawChild> spawn_raw(const std::string& program, const std::vector<std::string>& args) {
  return std::make_unique<WindowsChild>(program, args);
}

std::string executable_folder() {
  char path[MAX_PATH * 4] = {};
  GetModuleFileNameA(nullptr, path, sizeof path);
  std::string exe(path);
  return exe.substr(0, exe.find_last_of("\\/"));
}

void set_environment(const std::string& name, const std::string& value) {
  SetEnvironmentVariableA(name.c_str(), value.c_str());
}

bool process_ends_within(long id, std::chrono::milliseconds timeout) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(id));
  if (process == nullptr) return true;
  const bool ended = WaitForSingleObject(process, static_cast<DWORD>(timeout.count())) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
}

}  // namespace testing_support
