// The PIN prompt on Windows: a dialog of the agent's own, from a template built in memory,
// shown on a thread of its own so that the request's thread only waits for its outcome.
#include "platform/pin_dialog.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/dialog_win32.h"
#include "platform/ui_text.h"
#include "platform/wide.h"

namespace p11agent::platform {

namespace {

constexpr int ID_DESCRIPTION = 100;
constexpr int ID_ERROR = 101;
constexpr int ID_PIN = 102;
constexpr int ID_PIN_LABEL = 103;
constexpr int ID_CLICK_HERE = 104;
// The dialog's outcomes, as its run records them.
constexpr INT_PTR ENDED_ENTERED = IDOK;
constexpr INT_PTR ENDED_CANCELLED = IDCANCEL;
constexpr INT_PTR ENDED_TIMED_OUT = 1000;
constexpr INT_PTR ENDED_CLOSED = 1001;  // closed by the agent: the work it waited for is done

// In dialog units, which follow the font and the screen's DPI. The description is a
// read-only text box that wraps and scrolls, so a long certificate name never pushes the
// field or the buttons out of the dialog; texts are shown as they are ('&' included).
DialogTemplate layout(const PinScreen& screen) {
  DialogTemplate dialog(0, 260, screen.on_reader ? 150 : 180, to_wide(screen.title));
  dialog.add_item(ID_DESCRIPTION, EDIT, ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL, 8, 8, 244, 96,
                  with_crlf(screen.description));
  dialog.add_item(ID_ERROR, STATIC, SS_LEFT | SS_NOPREFIX, 8, 108, 244, 18, to_wide(screen.error));
  if (screen.on_reader) {
    dialog.add_item(IDCANCEL, BUTTON, BS_DEFPUSHBUTTON | WS_TABSTOP, 202, 130, 50, 14, to_wide(ui_text("Cancel")));
    return dialog;
  }
  dialog.add_item(ID_CLICK_HERE, STATIC, SS_LEFT | SS_NOPREFIX | SS_NOTIFY, 8, 128, 244, 10,
                  to_wide(ui_text("Click here to enter your PIN")));
  // "PIN-код:" is the longest label of the shipped languages.
  dialog.add_item(ID_PIN_LABEL, STATIC, SS_LEFT, 8, 142, 36, 10, to_wide(ui_text("PIN:")));
  dialog.add_item(ID_PIN, EDIT, ES_PASSWORD | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 46, 140, 206, 12, L"");
  dialog.add_item(IDOK, BUTTON, BS_DEFPUSHBUTTON | WS_TABSTOP, 146, 160, 50, 14, to_wide(ui_text("OK")));
  dialog.add_item(IDCANCEL, BUTTON, BS_PUSHBUTTON | WS_TABSTOP, 202, 160, 50, 14, to_wide(ui_text("Cancel")));
  return dialog;
}

// Follows the keyboard rule for whether the dialog is the active window now.
void follow_keyboard_rule(HWND dialog, bool active) {
  HWND field = GetDlgItem(dialog, ID_PIN);
  if (field == nullptr) return;  // a reader's keypad: nothing to type into
  const KeyboardRule rule = keyboard_rule(active);
  EnableWindow(field, rule.field_takes_keys);
  EnableWindow(GetDlgItem(dialog, IDOK), rule.field_takes_keys);
  ShowWindow(GetDlgItem(dialog, ID_CLICK_HERE), rule.asks_for_click ? SW_SHOW : SW_HIDE);
  flash(dialog, rule.flashes);
  if (rule.field_takes_keys) SetFocus(field);
}

// What the dialog's thread and the request's thread share.
struct DialogRun {
  const PinScreen* screen = nullptr;
  std::atomic<HWND> window{nullptr};
  WipedString pin;
  std::atomic<INT_PTR> ended{DIALOG_RUNNING};
};

// The PIN from the field, as UTF-8; the field and every copy are wiped.
WipedString take_pin(HWND dialog) {
  HWND field = GetDlgItem(dialog, ID_PIN);
  const int length = GetWindowTextLengthW(field);
  std::vector<wchar_t> wide(static_cast<std::size_t>(length) + 1, L'\0');
  GetWindowTextW(field, wide.data(), length + 1);
  SetWindowTextW(field, L"");
  WipedString pin;
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  if (bytes > 0) {
    pin.resize(static_cast<std::size_t>(bytes));
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, pin.data(), bytes, nullptr, nullptr);
  }
  SecureZeroMemory(wide.data(), wide.size() * sizeof(wchar_t));
  return pin;
}

void finish(DialogRun* run, HWND dialog, INT_PTR outcome) {
  if (run != nullptr) end_dialog_run(run->ended, dialog, outcome);
}

INT_PTR CALLBACK dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* run = reinterpret_cast<DialogRun*>(GetWindowLongPtrW(dialog, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG:
      run = reinterpret_cast<DialogRun*>(lparam);
      SetWindowLongPtrW(dialog, DWLP_USER, lparam);
      run->window = dialog;
      follow_keyboard_rule(dialog, bring_to_front(dialog, PIN_PROMPT_TIMEOUT));
      return FALSE;  // the focus is the rule's
    case WM_ACTIVATE:
      follow_keyboard_rule(dialog, LOWORD(wparam) != WA_INACTIVE);
      return FALSE;
    case WM_TIMER:
      if (wparam == TIMEOUT_TIMER) finish(run, dialog, ENDED_TIMED_OUT);
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wparam)) {
        case ID_CLICK_HERE:
          SetForegroundWindow(dialog);
          return TRUE;
        case IDOK:
          // Enter pressed while another window is active does not reach here; a PIN is
          // taken only from a field that took keys.
          if (run != nullptr && !run->screen->on_reader) {
            if (!IsWindowEnabled(GetDlgItem(dialog, ID_PIN))) return TRUE;
            run->pin = take_pin(dialog);
          }
          finish(run, dialog, ENDED_ENTERED);
          return TRUE;
        case IDCANCEL:
          finish(run, dialog, ENDED_CANCELLED);
          return TRUE;
        case IDABORT:
          finish(run, dialog, ENDED_CLOSED);
          return TRUE;
      }
      return FALSE;
  }
  return FALSE;
}

// The dialog's own thread, until the dialog has an outcome.
void run_dialog(DialogRun& run) {
  run_owned_dialog(layout(*run.screen), dialog_procedure, reinterpret_cast<LPARAM>(&run), run.ended);
}

std::expected<void, PromptStop> stop_of(INT_PTR ended) {
  if (ended == ENDED_CANCELLED) return std::unexpected(PromptStop{PromptEnd::Cancelled, ""});
  if (ended == ENDED_TIMED_OUT) return std::unexpected(PromptStop{PromptEnd::TimedOut, ""});
  if (ended == DIALOG_FAILED) return std::unexpected(PromptStop{PromptEnd::Failed, "the PIN dialog cannot be shown"});
  return {};
}

// Closes the dialog, once it is up (it may still be coming up), as ENDED_CLOSED.
void close_run(DialogRun& run) {
  while (run.ended == DIALOG_RUNNING) {
    if (HWND window = run.window.load()) {
      PostMessageW(window, WM_COMMAND, IDABORT, 0);
      return;
    }
    Sleep(1);
  }
}

class NativeDialog final : public PinDialog {
 public:
  std::expected<WipedString, PromptStop> ask_pin(const PinScreen& screen) override {
    DialogRun run;
    run.screen = &screen;
    std::thread shown(run_dialog, std::ref(run));
    const bool withdrawn = wait_while_wanted(run);
    shown.join();
    if (withdrawn && run.ended == ENDED_CLOSED) return std::unexpected(PromptStop{PromptEnd::Withdrawn, ""});
    if (auto ended = stop_of(run.ended); !ended) return std::unexpected(ended.error());
    return std::move(run.pin);
  }

  std::expected<bool, PromptStop> show_during(const PinScreen& screen, const std::function<void()>& work) override {
    DialogRun run;
    run.screen = &screen;
    std::thread shown(run_dialog, std::ref(run));
    work();
    close_run(run);
    shown.join();
    return run.ended == ENDED_CANCELLED;
  }

 private:
  // Until the dialog ends, asks about once a second whether it is still wanted, and closes
  // it when not; whether it closed it so.
  bool wait_while_wanted(DialogRun& run) const {
    constexpr DWORD LOOK_MS = 20;  // how soon the end of the dialog is seen
    auto next_check = std::chrono::steady_clock::now() + WANTED_CHECK_INTERVAL;
    while (run.ended == DIALOG_RUNNING) {
      Sleep(LOOK_MS);
      if (std::chrono::steady_clock::now() < next_check) continue;
      if (!still_wanted()) {
        close_run(run);
        return true;
      }
      next_check = std::chrono::steady_clock::now() + WANTED_CHECK_INTERVAL;
    }
    return false;
  }
};

}  // namespace

std::unique_ptr<PinDialog> system_pin_dialog() { return std::make_unique<NativeDialog>(); }

bool pin_prompt_required() { return deployer_setting_on(L"RequirePinPrompt"); }

PromptReport pin_prompt_report() { return {"p11agent's own PIN dialog", ""}; }

}  // namespace p11agent::platform
