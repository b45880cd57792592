#include "desktop/pin_dialog.h"

#include "settings/settings.h"

namespace p11agent::platform {

KeyboardRule keyboard_rule(bool dialog_active) {
  if (dialog_active) return {.field_takes_keys = true, .asks_for_click = false, .flashes = false};
  return {.field_takes_keys = false, .asks_for_click = true, .flashes = true};
}

ConfirmRule confirm_rule(bool dialog_active, std::chrono::milliseconds active_for) {
  return {.sign_takes_keys = dialog_active && active_for >= CONFIRM_DELAY,
          .asks_for_click = !dialog_active,
          .flashes = !dialog_active};
}

bool pin_prompt_required() { return settings().require_pin_prompt.on; }

}  // namespace p11agent::platform
