#include "sign/pin_prompt.h"

#include "token/slot.h"

namespace p11agent {

namespace {

constexpr const char* TITLE = "p11agent: PIN";

std::string stop_text(const platform::PromptStop& stop) {
  switch (stop.end) {
    case platform::PromptEnd::Cancelled: return PIN_PROMPT_CANCELLED;
    case platform::PromptEnd::TimedOut: return PIN_PROMPT_TIMEOUT;
    case platform::PromptEnd::Unavailable: return PIN_PROMPT_UNAVAILABLE + stop.detail;
    case platform::PromptEnd::Failed: break;
  }
  return PIN_PROMPT_FAILED + stop.detail;
}

// What the prompt says after the token refused a PIN, by the tries it says are left.
std::string wrong_pin_text(std::int32_t tries_left) {
  if (tries_left == 1) return "Wrong PIN. This is the final try: another wrong PIN locks the token.";
  if (tries_left == 2) return "Wrong PIN. Tries are running low.";
  return "Wrong PIN. Try again.";
}

}  // namespace

platform::PinScreen prompt_screen(const PromptFacts& facts, const std::optional<CK_TOKEN_INFO>& info) {
  platform::PinScreen screen;
  screen.title = TITLE;
  const auto identity = info ? identity_of(*info) : std::nullopt;
  const CK_FLAGS flags = info ? info->flags : 0;
  screen.on_reader = (flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0;
  std::string& text = screen.description;
  text = facts.site.empty() ? "An application on this computer" : facts.site;
  text += facts.signing ? " asks to sign with your certificate.\n" : " asks to unlock your token for signing.\n";
  if (!facts.cert.subject.empty()) text += "Certificate: " + facts.cert.subject + "\n";
  if (!facts.cert.issuer.empty()) text += "Issued by: " + facts.cert.issuer + "\n";
  if (identity && !identity->label.empty()) text += "Token: " + identity->label + "\n";
  if (flags & CKF_USER_PIN_FINAL_TRY)
    text += "This is the final try: a wrong PIN locks the token.\n";
  else if (flags & CKF_USER_PIN_COUNT_LOW)
    text += "Tries are running low.\n";
  text += screen.on_reader ? "Enter the PIN on the reader's keypad." : "Enter the token's PIN.";
  return screen;
}

std::expected<PromptedPin, std::string> log_in_through_prompt(platform::PinDialog& dialog, const PromptFacts& facts,
                                                              const Session& session, const TryPin& try_pin) {
  // A token that says its PIN is locked is not asked: no PIN could log in.
  const auto info = read_token_info(session.module(), session.slot());
  if (info && (info->flags & CKF_USER_PIN_LOCKED)) return std::unexpected("WRONG_PIN:0");
  platform::PinScreen screen = prompt_screen(facts, info);
  if (screen.on_reader) {
    bool tried = false;
    std::expected<void, LoginRefusal> login;
    auto shown = dialog.show_during(screen, [&] {
      tried = true;
      login = try_pin(std::nullopt);
    });
    if (!tried) return std::unexpected(stop_text(shown.error()));
    if (login) return PromptedPin{};
    if (shown && *shown) return std::unexpected(PIN_PROMPT_CANCELLED);
    return std::unexpected(std::move(login.error().message));
  }
  for (int asked = 1;; ++asked) {
    auto pin = dialog.ask_pin(screen);
    if (!pin) return std::unexpected(stop_text(pin.error()));
    auto login = try_pin(std::string_view(*pin));
    if (login) return PromptedPin(std::move(*pin));
    const LoginRefusal& refusal = login.error();
    if (!refusal.tries_left || *refusal.tries_left == 0 || asked == MAX_PROMPTED_PINS)
      return std::unexpected(refusal.message);
    screen.error = wrong_pin_text(*refusal.tries_left);
  }
}

std::expected<PromptedPin, std::string> ask_operation_pin(platform::PinDialog& dialog, const PromptFacts& facts,
                                                          const Session& session) {
  const platform::PinScreen screen = prompt_screen(facts, read_token_info(session.module(), session.slot()));
  if (screen.on_reader) return PromptedPin{};  // the reader asks for it itself
  auto pin = dialog.ask_pin(screen);
  if (!pin) return std::unexpected(stop_text(pin.error()));
  return PromptedPin(std::move(*pin));
}

}  // namespace p11agent
