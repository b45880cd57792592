#pragma once
// The prompt that asks the user for a PIN: a dialog of the agent's own on Windows, the
// desktop's pinentry program on Linux. Only the agent reads what is typed into it.
#include <chrono>
#include <expected>
#include <functional>
#include <memory>
#include <string>

#include "platform/secure_memory.h"

namespace p11agent::platform {

// A prompt nobody answers is closed after this long; a PIN entered on a reader's own
// keypad is waited for as long.
inline constexpr std::chrono::seconds PIN_PROMPT_TIMEOUT{120};

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
};
struct PromptStop {
  PromptEnd end;
  std::string detail;
};

class PinDialog {
 public:
  virtual ~PinDialog() = default;
  // Shows the screen and waits for the PIN the user enters.
  virtual std::expected<WipedString, PromptStop> ask_pin(const PinScreen& screen) = 0;
  // Shows the screen with only Cancel while `work` runs, and closes it after; whether the
  // user pressed Cancel meanwhile.
  virtual std::expected<bool, PromptStop> show_during(const PinScreen& screen, const std::function<void()>& work) = 0;
};

// The system's prompt.
std::unique_ptr<PinDialog> system_pin_dialog();

// Whether the machine's deployer requires every PIN a browser sends the agent to come from
// the prompt: HKLM\Software\p11agent, RequirePinPrompt (DWORD 1) on Windows; the file
// /etc/p11agent/require-pin-prompt on Linux.
bool pin_prompt_required();

}  // namespace p11agent::platform
