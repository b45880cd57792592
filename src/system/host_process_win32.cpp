#include "system/host_process.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "system/wide.h"

namespace p11agent::platform {

namespace {

constexpr const char* CHILD_PIPE_PREFIX = "pipe:";
HANDLE g_host_pipe = INVALID_HANDLE_VALUE;

class OwnedHandle {
 public:
  explicit OwnedHandle(HANDLE handle = nullptr) : handle_(handle) {}
  ~OwnedHandle() { reset(); }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  void reset(HANDLE handle = nullptr) {
    if (valid()) CloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_;
};

// Every child is in this job; closing its last handle, which happens when this process
// ends however it ends, ends them all.
HANDLE children_job() {
  static HANDLE job = [] {
    HANDLE created = CreateJobObjectW(nullptr, nullptr);
    if (created == nullptr) return created;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(created, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
      CloseHandle(created);
      return HANDLE{nullptr};
    }
    return created;
  }();
  return job;
}

DWORD millis_until(Deadline deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
  if (left <= 0) return 0;
  return left >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(left);
}

}  // namespace

struct HostProcess::Handles {
  OwnedHandle process;
  OwnedHandle pipe;   // this side's end, overlapped
  OwnedHandle event;  // signalled when an overlapped transfer completes
  std::chrono::milliseconds end_grace{0};
};

namespace {

// The attribute that makes a child inherit exactly `handles` (which must be inheritable),
// whatever else of this process is inheritable: the caller's own standard streams, when
// it redirected them, are.
class InheritedHandles {
 public:
  explicit InheritedHandles(std::vector<HANDLE> handles) : handles_(std::move(handles)) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
    initialized_ = true;
    if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                  handles_.size() * sizeof(HANDLE), nullptr, nullptr))
      list_ = list;
  }
  ~InheritedHandles() {
    if (initialized_) DeleteProcThreadAttributeList(reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data()));
  }
  InheritedHandles(const InheritedHandles&) = delete;
  InheritedHandles& operator=(const InheritedHandles&) = delete;
  // nullptr when the list could not be made: the child is then not started.
  LPPROC_THREAD_ATTRIBUTE_LIST list() const { return list_; }

 private:
  std::vector<HANDLE> handles_;
  std::vector<unsigned char> storage_;
  bool initialized_ = false;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

}  // namespace

std::unique_ptr<HostProcess> HostProcess::start(const std::string& executable,
                                                const std::vector<std::string>& arguments,
                                                std::chrono::milliseconds end_grace) {
  HANDLE job = children_job();
  if (job == nullptr) return nullptr;
  static std::atomic<unsigned long> counter{0};
  const std::wstring name = L"\\\\.\\pipe\\p11agent-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(counter++) + L"-" + std::to_wstring(GetTickCount64());
  auto handles = std::make_unique<Handles>();
  handles->end_grace = end_grace;
  handles->pipe.reset(CreateNamedPipeW(name.c_str(),
                                       PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                       1, 65536, 65536, 0, nullptr));
  handles->event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!handles->pipe.valid() || !handles->event.valid()) return nullptr;

  // Inherited handles are made and given away under one lock, so that no other child
  // started at the same moment inherits them too.
  static std::mutex spawning;
  std::lock_guard lock(spawning);
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  OwnedHandle child_pipe(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0, nullptr));
  OwnedHandle nowhere(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                  OPEN_EXISTING, 0, nullptr));
  if (!child_pipe.valid() || !nowhere.valid()) return nullptr;

  std::wstring command = L"\"" + to_wide(executable) + L"\"";
  for (const std::string& argument : arguments) command += L" \"" + to_wide(argument) + L"\"";
  command += L" " + to_wide(CHILD_PIPE_PREFIX) +
             std::to_wstring(reinterpret_cast<std::uintptr_t>(child_pipe.get()));
  InheritedHandles inherited({child_pipe.get(), nowhere.get()});
  if (inherited.list() == nullptr) return nullptr;
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = startup.StartupInfo.hStdOutput = startup.StartupInfo.hStdError = nowhere.get();
  startup.lpAttributeList = inherited.list();
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(to_wide(executable).c_str(), command.data(), nullptr, nullptr, TRUE,
                      CREATE_SUSPENDED | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                      &startup.StartupInfo, &info))
    return nullptr;
  OwnedHandle thread(info.hThread);
  handles->process.reset(info.hProcess);
  // A child outside the job could outlive us: it never runs.
  if (!AssignProcessToJobObject(job, info.hProcess)) {
    TerminateProcess(info.hProcess, 1);
    WaitForSingleObject(info.hProcess, INFINITE);
    return nullptr;
  }
  ResumeThread(info.hThread);
  return std::unique_ptr<HostProcess>(new HostProcess(std::move(handles)));
}

HostProcess::HostProcess(std::unique_ptr<Handles> handles) : handles_(std::move(handles)) {}

HostProcess::~HostProcess() { end(); }

namespace {

// One overlapped transfer, waited for until it completes, the child ends or the deadline.
template <typename Start>
Transfer overlapped_transfer(HostProcess::Handles& h, Deadline deadline, DWORD& moved, Start start) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = h.event.get();
  ResetEvent(overlapped.hEvent);
  if (!start(&overlapped) && GetLastError() != ERROR_IO_PENDING) return Transfer::Ended;
  HANDLE waits[2] = {overlapped.hEvent, h.process.get()};
  DWORD woke = WaitForMultipleObjects(2, waits, FALSE, millis_until(deadline));
  if (woke == WAIT_OBJECT_0) return GetOverlappedResult(h.pipe.get(), &overlapped, &moved, FALSE) && moved > 0
                                        ? Transfer::Done
                                        : Transfer::Ended;
  CancelIo(h.pipe.get());
  GetOverlappedResult(h.pipe.get(), &overlapped, &moved, TRUE);
  return woke == WAIT_TIMEOUT ? Transfer::TimedOut : Transfer::Ended;
}

DWORD chunk_of(std::size_t size) { return size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size); }

// Moves every byte, one overlapped step (a read or a write) at a time.
template <typename Bytes, typename Step>
Transfer transfer_all(HostProcess::Handles& h, Bytes bytes, Deadline deadline, Step step) {
  while (!bytes.empty()) {
    if (!h.process.valid()) return Transfer::Ended;
    DWORD moved = 0;
    Transfer t = overlapped_transfer(h, deadline, moved,
                                     [&](OVERLAPPED* o) { return step(bytes.data(), chunk_of(bytes.size()), o); });
    if (t != Transfer::Done) return t;
    bytes = bytes.subspan(moved);
  }
  return Transfer::Done;
}

}  // namespace

Transfer HostProcess::write_all(std::span<const std::byte> bytes, Deadline deadline) {
  return transfer_all(*handles_, bytes, deadline, [&](const std::byte* data, DWORD size, OVERLAPPED* o) {
    return WriteFile(handles_->pipe.get(), data, size, nullptr, o);
  });
}

Transfer HostProcess::read_exact(std::span<std::byte> bytes, Deadline deadline, std::chrono::microseconds) {
  return transfer_all(*handles_, bytes, deadline, [&](std::byte* data, DWORD size, OVERLAPPED* o) {
    return ReadFile(handles_->pipe.get(), data, size, nullptr, o);
  });
}

void HostProcess::end() {
  if (!handles_->process.valid()) return;
  handles_->pipe.reset();
  TerminateProcess(handles_->process.get(), 1);
  // A process stuck in a driver call ends when the call does; the system reaps it then.
  WaitForSingleObject(handles_->process.get(), static_cast<DWORD>(handles_->end_grace.count()));
  handles_->process.reset();
}

std::string own_executable_path() {
  std::wstring path(32768, L'\0');
  DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  if (n == 0 || n >= path.size()) return {};
  path.resize(n);
  return to_utf8(path.c_str());
}

bool take_host_pipes(std::vector<std::string>& arguments) {
  if (arguments.empty() || !arguments.back().starts_with(CHILD_PIPE_PREFIX)) return false;
  const std::string number = arguments.back().substr(std::string_view(CHILD_PIPE_PREFIX).size());
  std::uintptr_t value = 0;
  for (char c : number) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uintptr_t>(c - '0');
  }
  arguments.pop_back();
  g_host_pipe = reinterpret_cast<HANDLE>(value);
  return true;
}

bool host_read_exact(std::span<std::byte> bytes, bool) {
  while (!bytes.empty()) {
    DWORD got = 0;
    if (!ReadFile(g_host_pipe, bytes.data(), chunk_of(bytes.size()), &got, nullptr) || got == 0) return false;
    bytes = bytes.subspan(got);
  }
  return true;
}

bool host_write_all(std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    DWORD done = 0;
    if (!WriteFile(g_host_pipe, bytes.data(), chunk_of(bytes.size()), &done, nullptr) || done == 0) return false;
    bytes = bytes.subspan(done);
  }
  return true;
}

void end_with_parent() {
  // The parent's job object ends this process with the parent.
}

}  // namespace p11agent::platform
