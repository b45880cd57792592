#pragma once
// The trace's lines of the PIN prompt, the confirmation and the certificate picker: what was
// shown, by which program, and how it ended (never what was typed, nor a page's words).
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "desktop/pin_dialog.h"
#include "trace/trace.h"

namespace p11agent {

// `event`: "prompt" or "picker"; `asks`: "pin", "keypad", "confirmation", "certificate" or
// "try_again". Shown lines are written at once: a person may leave the agent waiting.
void trace_shown(std::string_view event, std::string_view asks, const std::string& program);
// `done`: the word for an answer ("entered", "confirmed", ...) when `stop` is nullopt.
void trace_ended(std::string_view event, std::string_view asks, std::string_view done,
                 const std::optional<platform::PromptStop>& stop);

// Shows through `show` (which answers an expected with a PromptStop error) between the two lines.
template <typename Show>
auto traced_showing(std::string_view event, std::string_view asks, const std::string& program, std::string_view done,
                    Show show) -> decltype(show()) {
  if (!platform::tracing()) return show();
  trace_shown(event, asks, program);
  auto result = show();
  trace_ended(event, asks, done, result ? std::nullopt : std::optional(result.error()));
  return result;
}

}  // namespace p11agent
