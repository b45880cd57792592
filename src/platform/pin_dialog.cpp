#include "platform/pin_dialog.h"

namespace p11agent::platform {

KeyboardRule keyboard_rule(bool dialog_active) {
  if (dialog_active) return {.field_takes_keys = true, .asks_for_click = false, .flashes = false};
  return {.field_takes_keys = false, .asks_for_click = true, .flashes = true};
}

}  // namespace p11agent::platform
