#pragma once
// The prompt that asks the user for a PIN: a dialog of the agent's own on Windows, the
// desktop's pinentry program on Linux. Only the agent reads what is typed into it.
#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <string>

#include "pkcs11/bounds.h"
#include "system/secure_memory.h"

namespace p11agent::platform {

// A prompt nobody answers is closed after this long, as long as a reader's keypad is
// waited for.
inline constexpr std::chrono::seconds PIN_PROMPT_TIMEOUT = PIN_ENTRY_BOUND;

struct PinScreen {
  std::string title;
  std::string description;  // lines separated by '\n'
  std::string error;        // after a wrong PIN: what went wrong and the tries left; "" at first
  bool on_reader = false;   // the PIN is entered on the reader's keypad: no field, only Cancel
};

// Why a prompt gave no PIN.
enum class PromptEnd {
  Cancelled,    // the user closed it
  TimedOut,     // nobody answered within PIN_PROMPT_TIMEOUT
  Unavailable,  // no prompt can be shown here (the detail says what to install)
  Failed,       // the prompt broke off (the detail says how)
  Withdrawn,    // what it asked for went away (the token was pulled): the agent closed it
};
struct PromptStop {
  PromptEnd end;
  std::string detail;
};

// How often a prompt waiting for the user asks whether it is still wanted.
inline constexpr std::chrono::seconds WANTED_CHECK_INTERVAL{1};

class PinDialog {
 public:
  virtual ~PinDialog() = default;
  // Asked about once a second while the prompt waits for a PIN: false closes it, and it
  // ends as Withdrawn. Unset, a prompt is wanted until it is answered.
  void close_when_unwanted(std::function<bool()> still_wanted) { still_wanted_ = std::move(still_wanted); }
  // Shows the screen and waits for the PIN the user enters.
  virtual std::expected<WipedString, PromptStop> ask_pin(const PinScreen& screen) = 0;
  // Shows the screen with Sign and Cancel and no field, and waits for the user's choice:
  // success when they pressed Sign.
  virtual std::expected<void, PromptStop> confirm(const PinScreen& screen) = 0;
  // Shows the screen with only Cancel while `work` runs, and closes it after; whether the
  // user pressed Cancel meanwhile.
  virtual std::expected<bool, PromptStop> show_during(const PinScreen& screen, const std::function<void()>& work) = 0;
  // What shows it, for the trace ("" where nothing of the system's does).
  virtual std::string program() const { return {}; }

 protected:
  bool still_wanted() const { return !still_wanted_ || still_wanted_(); }

 private:
  std::function<bool()> still_wanted_;
};

// The system's prompt.
std::unique_ptr<PinDialog> system_pin_dialog();

// What a prompt (or the certificate picker) uses here, for a report on the installation:
// the program, and where it cannot work, why and what to install. `terminal_only`: it
// works only where the agent has a terminal, which a browser never gives it.
struct PromptReport {
  std::string program;
  std::string problem;
  bool terminal_only = false;
};
PromptReport pin_prompt_report();

// The window of the browser that started the agent (Chrome's "--parent-window="; 0 for
// none): the Windows dialog's owner, so that it belongs to the window the user is in.
void set_prompt_owner(std::uint64_t window);

// What the Windows dialog does with the keyboard. Windows may refuse to bring a window of a
// background process to the front, and then the keys go on to the window that has them: the
// PIN field takes keys only while the dialog is the active window, and otherwise the
// dialog says to click it and flashes in the taskbar, so that no key meant for the PIN goes
// elsewhere unnoticed.
struct KeyboardRule {
  bool field_takes_keys;  // the field is enabled and has the focus
  bool asks_for_click;    // "Click here to enter your PIN" is shown
  bool flashes;           // the window flashes until it is active
};
KeyboardRule keyboard_rule(bool dialog_active);

// The same for the Windows confirmation of a signature: Sign takes a click or Enter only
// once the dialog has been the active window for CONFIRM_DELAY, so that a key pressed for the
// page as the dialog came up cannot confirm; until then Enter does nothing.
inline constexpr std::chrono::milliseconds CONFIRM_DELAY{500};
struct ConfirmRule {
  bool sign_takes_keys;  // Sign is enabled, the default button and has the focus
  bool asks_for_click;   // "Click here to confirm the signature" is shown
  bool flashes;
};
ConfirmRule confirm_rule(bool dialog_active, std::chrono::milliseconds active_for);

// Whether the machine's deployer requires every PIN a browser sends the agent to come from
// the prompt: HKLM\Software\p11agent, RequirePinPrompt (DWORD 1) on Windows; the file
// /etc/p11agent/require-pin-prompt on Linux.
bool pin_prompt_required();

}  // namespace p11agent::platform
