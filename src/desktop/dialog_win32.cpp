#include "desktop/dialog_win32.h"

#include <atomic>
#include <cstdint>

#include "desktop/pin_dialog.h"
#include "system/wide.h"

namespace p11agent::platform {

namespace {
std::atomic<std::uint64_t> g_owner{0};
}  // namespace

void set_prompt_owner(std::uint64_t window) { g_owner = window; }

HWND owner_window() {
  HWND owner = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(g_owner.load()));
  return owner != nullptr && IsWindow(owner) ? owner : nullptr;
}

std::wstring with_crlf(const std::string& text) {
  std::wstring wide;
  for (wchar_t c : to_wide(text)) {
    if (c == L'\n') wide += L'\r';
    wide += c;
  }
  return wide;
}

void run_owned_dialog(const DialogTemplate& layout, DLGPROC procedure, LPARAM parameter, std::atomic<INT_PTR>& ended) {
  using SetAwareness = DPI_AWARENESS_CONTEXT(WINAPI*)(DPI_AWARENESS_CONTEXT);
  if (auto set = reinterpret_cast<SetAwareness>(reinterpret_cast<void*>(
          GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetThreadDpiAwarenessContext"))))
    set(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
  HWND dialog = CreateDialogIndirectParamW(GetModuleHandleW(nullptr), layout.get(), owner_window(), procedure, parameter);
  if (dialog == nullptr) {
    ended = DIALOG_FAILED;
    return;
  }
  ShowWindow(dialog, SW_SHOW);
  MSG message;
  while (ended == DIALOG_RUNNING && GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (IsDialogMessageW(dialog, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  DestroyWindow(dialog);
}

bool bring_to_front(HWND dialog, std::chrono::seconds timeout) {
  SetTimer(dialog, TIMEOUT_TIMER, static_cast<UINT>(timeout.count() * 1000), nullptr);
  SetWindowPos(dialog, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  SetForegroundWindow(dialog);
  return GetForegroundWindow() == dialog;
}

void flash(HWND dialog, bool on) {
  FLASHWINFO flashing{sizeof flashing, dialog, static_cast<DWORD>(on ? FLASHW_ALL | FLASHW_TIMERNOFG : FLASHW_STOP), 0, 0};
  FlashWindowEx(&flashing);
}

void end_dialog_run(std::atomic<INT_PTR>& ended, HWND dialog, INT_PTR outcome) {
  ended = outcome;
  PostMessageW(dialog, WM_NULL, 0, 0);
}

}  // namespace p11agent::platform
