// The screen lock on Windows: a message-only window of the agent's own, registered for its
// session's notifications (WTSRegisterSessionNotification), is sent WM_WTSSESSION_CHANGE
// with what happened to the session. Message-only: the notification is sent to the window
// registered rather than broadcast, so it needs no place among the desktop's windows (and a
// session without a desktop still gets the watch).
#include "desktop/screen_lock.h"

#include <windows.h>
#include <wtsapi32.h>

#include <string>
#include <thread>

namespace p11agent::platform {

namespace {

constexpr const wchar_t* WINDOW_CLASS = L"p11agent session watch";

// What the watch and its window's thread share; the thread may outlive the watch.
struct Shared {
  std::shared_ptr<std::atomic<std::uint64_t>> departures;
  std::atomic<HWND> window{nullptr};
  std::atomic<bool> stopping{false};
};

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_WTSSESSION_CHANGE:
      if (auto* departures = reinterpret_cast<std::atomic<std::uint64_t>*>(GetWindowLongPtrW(window, GWLP_USERDATA));
          departures != nullptr && session_change_leaves(static_cast<std::uint32_t>(wparam)))
        ++*departures;
      return 0;
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      WTSUnRegisterSessionNotification(window);
      // Only the watch's own thread waits for messages (the doctor's window is made and gone).
      if (GetWindowLongPtrW(window, GWLP_USERDATA) != 0) PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

// How long a watch tries to register while the session's services may still be starting:
// the registration fails then (WTSRegisterSessionNotification's reference: RPC_S_INVALID_BINDING
// before the Terminal Services are ready), and an agent started with the session is early.
constexpr int REGISTRATION_TRIES = 60;
constexpr DWORD REGISTRATION_RETRY_MS = 1000;

std::string failed_step(const char* step) {
  return std::string("the session's lock notifications cannot be had (") + step + ": error " +
         std::to_string(GetLastError()) + "): a locked screen is not seen";
}

// The message-only window, registered for the session's notifications, tried `tries` times;
// what failed, "" when it is made (`window` is then the window).
std::string make_watch_window(HWND& window, int tries) {
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = window_procedure;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = WINDOW_CLASS;
  if (RegisterClassW(&window_class) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
    return failed_step("RegisterClassW");
  window = CreateWindowExW(0, WINDOW_CLASS, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (window == nullptr) return failed_step("CreateWindowExW");
  for (int tried = 1; !WTSRegisterSessionNotification(window, NOTIFY_FOR_THIS_SESSION); ++tried) {
    if (tried >= tries) {
      std::string problem = failed_step("WTSRegisterSessionNotification");
      DestroyWindow(window);
      window = nullptr;
      return problem;
    }
    Sleep(REGISTRATION_RETRY_MS);
  }
  return "";
}

// The window's thread: until the watch goes, its messages.
void listen(const std::shared_ptr<Shared>& shared) {
  HWND window = nullptr;
  if (!make_watch_window(window, REGISTRATION_TRIES).empty()) return;
  SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(shared->departures.get()));
  shared->window = window;
  if (shared->stopping) PostMessageW(window, WM_CLOSE, 0, 0);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
}

class SessionLockWatch final : public ScreenLockWatch {
 public:
  SessionLockWatch() : shared_(std::make_shared<Shared>()) {
    shared_->departures = departures_;
    std::thread(listen, shared_).detach();
  }
  ~SessionLockWatch() override {
    shared_->stopping = true;
    if (HWND window = shared_->window.load()) PostMessageW(window, WM_CLOSE, 0, 0);
  }
  SessionLockWatch(const SessionLockWatch&) = delete;
  SessionLockWatch& operator=(const SessionLockWatch&) = delete;

 private:
  std::shared_ptr<Shared> shared_;
};

}  // namespace

std::unique_ptr<ScreenLockWatch> watch_screen_lock() { return std::make_unique<SessionLockWatch>(); }

// Whether a watch can be made now, made once and gone.
ScreenLockReport screen_lock_report() {
  HWND window = nullptr;
  std::string problem = make_watch_window(window, 1);
  if (window != nullptr) DestroyWindow(window);
  if (!problem.empty()) return {"", std::move(problem)};
  return {"the session's lock and disconnect notifications", ""};
}

}  // namespace p11agent::platform
