// The screen lock on Windows: a message-only window of the agent's own, registered for its
// session's notifications (WTSRegisterSessionNotification), is sent WM_WTSSESSION_CHANGE
// with what happened to the session. Message-only: the notification is sent to the window
// registered rather than broadcast, so it needs no place among the desktop's windows (and a
// session without a desktop still gets the watch).
#include "platform/screen_lock.h"

#include <windows.h>
#include <wtsapi32.h>

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
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

// The window's thread: until the watch goes, its messages.
void listen(const std::shared_ptr<Shared>& shared) {
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = window_procedure;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = WINDOW_CLASS;
  RegisterClassW(&window_class);  // already there for a second watch
  HWND window = CreateWindowExW(0, WINDOW_CLASS, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
  if (window == nullptr) return;
  SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(shared->departures.get()));
  WTSRegisterSessionNotification(window, NOTIFY_FOR_THIS_SESSION);
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

ScreenLockReport screen_lock_report() { return {"the session's lock and disconnect notifications", ""}; }

}  // namespace p11agent::platform
