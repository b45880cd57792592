// The PIN prompt on Windows: a dialog of the agent's own, from a template built in memory,
// shown on a thread of its own so that the request's thread only waits for its outcome.
#include "desktop/pin_dialog.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "desktop/dialog_win32.h"
#include "desktop/ui_text.h"
#include "system/wide.h"

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
// Sign of a confirmation takes keys once this fires.
constexpr UINT_PTR CONFIRM_TIMER = 2;

// What the dialog asks for.
enum class Asks { Pin, Confirmation };

// In dialog units, which follow the font and the screen's DPI. The description is a
// read-only text box that wraps and scrolls, so a long certificate name never pushes the
// field or the buttons out of the dialog; texts are shown as they are ('&' included).
DialogTemplate layout(const PinScreen& screen, Asks asks) {
  DialogTemplate dialog(0, 260, screen.on_reader || asks == Asks::Confirmation ? 150 : 180, to_wide(screen.title));
  dialog.add_item(ID_DESCRIPTION, EDIT, ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL | WS_TABSTOP, 8, 8, 244,
                  96, with_crlf(screen.description));
  if (asks == Asks::Confirmation) {
    // No default button: Enter does nothing until Sign takes keys (the confirmation rule).
    dialog.add_item(ID_CLICK_HERE, STATIC, SS_LEFT | SS_NOPREFIX | SS_NOTIFY, 8, 110, 244, 10,
                    to_wide(ui_text("Click here to confirm the signature")));
    dialog.add_item(IDOK, BUTTON, BS_PUSHBUTTON | WS_TABSTOP | WS_DISABLED, 146, 130, 50, 14, to_wide(ui_text("Sign")));
    dialog.add_item(IDCANCEL, BUTTON, BS_PUSHBUTTON | WS_TABSTOP, 202, 130, 50, 14, to_wide(ui_text("Cancel")));
    return dialog;
  }
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

// Where nothing takes keys yet, the focus is Cancel's: the dialog manager would otherwise
// focus the first tab stop, the description, and select all of it, which scrolls it to its
// end and the line that says who asks out of view.
void focus_cancel(HWND dialog) {
  SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dialog, IDCANCEL)), TRUE);
}

// The description as it opens: its first line in view, nothing selected.
void show_description_from_top(HWND dialog) {
  HWND text = GetDlgItem(dialog, ID_DESCRIPTION);
  SendMessageW(text, EM_SETSEL, 0, 0);
  SendMessageW(text, WM_VSCROLL, SB_TOP, 0);
}

// Follows the keyboard rule for whether the dialog is the active window now.
void follow_keyboard_rule(HWND dialog, bool active) {
  HWND field = GetDlgItem(dialog, ID_PIN);
  if (field == nullptr) return focus_cancel(dialog);  // a reader's keypad: nothing to type into
  const KeyboardRule rule = keyboard_rule(active);
  EnableWindow(field, rule.field_takes_keys);
  EnableWindow(GetDlgItem(dialog, IDOK), rule.field_takes_keys);
  ShowWindow(GetDlgItem(dialog, ID_CLICK_HERE), rule.asks_for_click ? SW_SHOW : SW_HIDE);
  flash(dialog, rule.flashes);
  if (rule.field_takes_keys) SetFocus(field);
}

// Follows the confirmation's rule: Sign takes keys once the dialog has been active for
// CONFIRM_DELAY (`ready`: the timer started at its activation fired).
void follow_confirm_rule(HWND dialog, bool active, bool ready) {
  const ConfirmRule rule = confirm_rule(active, ready ? CONFIRM_DELAY : std::chrono::milliseconds{0});
  HWND sign = GetDlgItem(dialog, IDOK);
  EnableWindow(sign, rule.sign_takes_keys);
  SendMessageW(dialog, DM_SETDEFID, rule.sign_takes_keys ? IDOK : 0, 0);
  ShowWindow(GetDlgItem(dialog, ID_CLICK_HERE), rule.asks_for_click ? SW_SHOW : SW_HIDE);
  flash(dialog, rule.flashes);
  if (rule.sign_takes_keys)
    SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(sign), TRUE);
  else
    focus_cancel(dialog);
  if (active && !ready) SetTimer(dialog, CONFIRM_TIMER, static_cast<UINT>(CONFIRM_DELAY.count()), nullptr);
  if (!active) KillTimer(dialog, CONFIRM_TIMER);
}

// What the dialog's thread and the request's thread share.
struct DialogRun {
  const PinScreen* screen = nullptr;
  Asks asks = Asks::Pin;
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

// The dialog's keyboard rule, whichever it asks for, for whether it is active now.
void follow_rule(const DialogRun* run, HWND dialog, bool active) {
  if (run != nullptr && run->asks == Asks::Confirmation)
    follow_confirm_rule(dialog, active, false);
  else
    follow_keyboard_rule(dialog, active);
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
      follow_rule(run, dialog, bring_to_front(dialog, PIN_PROMPT_TIMEOUT));
      show_description_from_top(dialog);
      return FALSE;  // the focus is the rule's
    case WM_ACTIVATE:
      follow_rule(run, dialog, LOWORD(wparam) != WA_INACTIVE);
      return FALSE;
    case WM_TIMER:
      if (wparam == TIMEOUT_TIMER) finish(run, dialog, ENDED_TIMED_OUT);
      if (wparam == CONFIRM_TIMER) {
        KillTimer(dialog, CONFIRM_TIMER);
        follow_confirm_rule(dialog, GetForegroundWindow() == dialog, true);
      }
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wparam)) {
        case ID_CLICK_HERE:
          SetForegroundWindow(dialog);
          return TRUE;
        case IDOK:
          // Enter pressed while another window is active does not reach here; a PIN is
          // taken only from a field that took keys, and a confirmation only from a Sign
          // that did.
          if (run != nullptr && run->asks == Asks::Confirmation && !IsWindowEnabled(GetDlgItem(dialog, IDOK)))
            return TRUE;
          if (run != nullptr && run->asks == Asks::Pin && !run->screen->on_reader) {
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
  run_owned_dialog(layout(*run.screen, run.asks), dialog_procedure, reinterpret_cast<LPARAM>(&run), run.ended);
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
  std::string program() const override { return pin_prompt_report().program; }
  std::expected<WipedString, PromptStop> ask_pin(const PinScreen& screen) override {
    DialogRun run;
    run.screen = &screen;
    if (auto answered = answer_of(run); !answered) return std::unexpected(answered.error());
    return std::move(run.pin);
  }

  std::expected<void, PromptStop> confirm(const PinScreen& screen) override {
    DialogRun run;
    run.screen = &screen;
    run.asks = Asks::Confirmation;
    return answer_of(run);
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
  // Shows the run's dialog until the user answers it (or it is closed unwanted).
  std::expected<void, PromptStop> answer_of(DialogRun& run) const {
    std::thread shown(run_dialog, std::ref(run));
    const bool withdrawn = wait_while_wanted(run);
    shown.join();
    if (withdrawn && run.ended == ENDED_CLOSED) return std::unexpected(PromptStop{PromptEnd::Withdrawn, ""});
    return stop_of(run.ended);
  }

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



PromptReport pin_prompt_report() { return {"p11agent's own PIN dialog", ""}; }

}  // namespace p11agent::platform
