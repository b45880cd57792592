#include "sign/pin_prompt.h"

#include <algorithm>
#include <vector>

#include "desktop/ui_text.h"
#include "sign/prompt_trace.h"
#include "text/shown_text.h"
#include "token/slot.h"

namespace p11agent {

namespace {

using platform::ui_text;

enum class Asked { Pin, Confirmation };

std::string stop_text(const platform::PromptStop& stop, Asked asked = Asked::Pin) {
  switch (stop.end) {
    case platform::PromptEnd::Cancelled: return asked == Asked::Pin ? PIN_PROMPT_CANCELLED : SIGNATURE_DECLINED;
    case platform::PromptEnd::TimedOut: return asked == Asked::Pin ? PIN_PROMPT_TIMEOUT : SIGNATURE_UNCONFIRMED;
    case platform::PromptEnd::Unavailable: return PIN_PROMPT_UNAVAILABLE + stop.detail;
    case platform::PromptEnd::Withdrawn: return TOKEN_REMOVED;
    case platform::PromptEnd::Failed: break;
  }
  return PIN_PROMPT_FAILED + stop.detail;
}

// What the prompt says after the token refused a PIN, by the tries it says are left.
std::string wrong_pin_text(std::int32_t tries_left) {
  if (tries_left == 1) return ui_text("Wrong PIN. This is the final try: another wrong PIN locks the token.");
  if (tries_left == 2) return ui_text("Wrong PIN. Tries are running low.");
  return ui_text("Wrong PIN. Try again.");
}

// What the prompt says after a refusal that lets the user try again; "" where the request
// ends with the refusal. A PIN of a length or of characters the token does not take is
// refused before it is checked, and tokens count no try for it.
std::string retry_text(const LoginRefusal& refusal) {
  if (refusal.tries_left) return *refusal.tries_left == 0 ? "" : wrong_pin_text(*refusal.tries_left);
  if (refusal.rv == CKR_PIN_LEN_RANGE) return ui_text("The token does not take a PIN of this length. Try again.");
  if (refusal.rv == CKR_PIN_INVALID) return ui_text("The PIN has characters the token does not take. Try again.");
  return "";
}

constexpr const char* NO_PIN_ENTERED = "no PIN was entered";

// Bound of each value the prompt shows, in bytes of UTF-8.
constexpr std::size_t VALUE_BOUND = 96;
constexpr std::string_view LEFT_OUT = ", \xE2\x80\xA6";

std::string shown_attribute(const NameAttribute& attribute) {
  return attribute.type + "=" + cut_text(shown_value(attribute), VALUE_BOUND);
}

// The first line: who asks for what. A whole sentence per case, so that each language can
// put the site where its grammar wants it.
std::string who_asks(const PromptFacts& facts) {
  const bool local = facts.site.empty();
  const platform::Filling site{"site", facts.site};
  switch (facts.asks) {
    case PromptAsks::Signature:
      return local ? ui_text("An application on this computer asks to sign with your certificate.")
                   : ui_text("{site} asks to sign with your certificate.", {site});
    case PromptAsks::Unlock:
      return local ? ui_text("An application on this computer asks to unlock your token for signing.")
                   : ui_text("{site} asks to unlock your token for signing.", {site});
    case PromptAsks::Login: break;
  }
  return local ? ui_text("An application on this computer asks you to log in with your certificate.")
               : ui_text("{site} asks you to log in with your certificate.", {site});
}

// The asker's own words on what is signed, shown as theirs (so that none reads as the
// agent's) and by the display rules of every text from outside.
std::string described_as(const PromptFacts& facts) {
  const std::string words = cut_characters(shown_text(facts.description), PROMPT_DESCRIPTION_CHARACTERS);
  return facts.site.empty() ? ui_text("The application describes this signature as: \"{description}\"",
                                      {{"description", words}})
                            : ui_text("The site describes this signature as: \"{description}\"",
                                      {{"description", words}});
}

// What every screen of the prompt says first: who asks for what, with which certificate
// on which token.
std::string request_lines(const PromptFacts& facts, const std::optional<TokenIdentity>& identity) {
  std::string text = who_asks(facts) + "\n";
  if (facts.asks == PromptAsks::Signature && !facts.description.empty()) text += described_as(facts) + "\n";
  if (!facts.cert.subject.empty())
    text += ui_text("Certificate: {name}", {{"name", prompt_name(facts.cert.subject, PROMPT_SUBJECT_BOUND)}}) + "\n";
  if (!facts.cert.issuer.empty())
    text += ui_text("Issued by: {name}", {{"name", prompt_name(facts.cert.issuer, PROMPT_ISSUER_BOUND)}}) + "\n";
  if (identity && !identity->label.empty()) text += ui_text("Token: {label}", {{"label", shown_text(identity->label)}}) + "\n";
  return text;
}

}  // namespace

std::string prompt_name(const DistinguishedName& name, std::size_t bound) {
  // The common name first, then the organisation, then the rest in the certificate's order.
  std::vector<const NameAttribute*> order;
  for (std::string_view first : {"CN", "O"})
    if (const NameAttribute* attribute = find_attribute(name, first)) order.push_back(attribute);
  for (const NameAttribute& attribute : name)
    if (std::ranges::find(order, &attribute) == order.end()) order.push_back(&attribute);
  std::string text;
  for (const NameAttribute* attribute : order) {
    std::string next = shown_attribute(*attribute);
    const std::size_t with = text.size() + (text.empty() ? 0 : 2) + next.size();
    // The first is shown whatever its length (the value bound holds it); after it, what
    // would pass the bound is left out, and the "…" at the end says so.
    if (!text.empty() && with + LEFT_OUT.size() > bound) return text + std::string(LEFT_OUT);
    text += (text.empty() ? "" : ", ") + next;
  }
  return text;
}

platform::PinScreen prompt_screen(const PromptFacts& facts, const std::optional<CK_TOKEN_INFO>& info) {
  platform::PinScreen screen;
  screen.title = ui_text("p11agent: PIN");
  const auto identity = info ? identity_of(*info) : std::nullopt;
  const CK_FLAGS flags = info ? info->flags : 0;
  screen.on_reader = (flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0;
  std::string& text = screen.description;
  text = request_lines(facts, identity);
  if (flags & CKF_USER_PIN_FINAL_TRY)
    text += ui_text("This is the final try: a wrong PIN locks the token.") + "\n";
  else if (flags & CKF_USER_PIN_COUNT_LOW)
    text += ui_text("Tries are running low.") + "\n";
  text += screen.on_reader ? ui_text("Enter the PIN on the reader's keypad.") : ui_text("Enter the token's PIN.");
  return screen;
}

platform::PinScreen confirmation_screen(const PromptFacts& facts, const std::optional<CK_TOKEN_INFO>& info) {
  platform::PinScreen screen;
  const bool login = facts.asks == PromptAsks::Login;
  screen.title = login ? ui_text("p11agent: log in") : ui_text("p11agent: signature");
  screen.description = request_lines(facts, info ? identity_of(*info) : std::nullopt) +
                       (login ? ui_text("Your token is unlocked. Press Sign to log in with this certificate, or Cancel.")
                              : ui_text("Your token is unlocked. Press Sign to make this signature, or Cancel."));
  return screen;
}

namespace {

// A PIN the user entered: an empty field is not a PIN (a token may count it as a try),
// and is asked for again with a word of why.
std::expected<platform::WipedString, std::string> entered_pin(platform::PinDialog& dialog, platform::PinScreen& screen) {
  for (int asked = 1;; ++asked) {
    auto pin = traced_showing("prompt", "pin", dialog.program(), "entered", [&] { return dialog.ask_pin(screen); });
    if (!pin) return std::unexpected(stop_text(pin.error()));
    if (!pin->empty()) return std::move(*pin);
    if (asked == MAX_PROMPTED_PINS) return std::unexpected(PIN_PROMPT_FAILED + std::string(NO_PIN_ENTERED));
    screen.error = ui_text("No PIN was entered. Enter the token's PIN.");
  }
}

}  // namespace

std::expected<PromptedPin, std::string> log_in_through_prompt(platform::PinDialog& dialog, const PromptFacts& facts,
                                                              const Session& session, const TryPin& try_pin) {
  // A token that says its PIN is locked is not asked: no PIN could log in.
  const auto info = read_token_info(session.module(), session.slot());
  if (info && (info->flags & CKF_USER_PIN_LOCKED)) return std::unexpected("WRONG_PIN:0");
  platform::PinScreen screen = prompt_screen(facts, info);
  if (screen.on_reader) {
    bool tried = false;
    std::expected<void, LoginRefusal> login;
    auto shown = traced_showing("prompt", "keypad", dialog.program(), "closed", [&] {
      return dialog.show_during(screen, [&] {
        tried = true;
        login = try_pin(std::nullopt);
      });
    });
    if (!tried) return std::unexpected(stop_text(shown.error()));
    if (login) return PromptedPin{};
    if (shown && *shown) return std::unexpected(PIN_PROMPT_CANCELLED);
    return std::unexpected(std::move(login.error().message));
  }
  for (int asked = 1;; ++asked) {
    auto pin = entered_pin(dialog, screen);
    if (!pin) return std::unexpected(std::move(pin.error()));
    auto login = try_pin(std::string_view(*pin));
    if (login) return PromptedPin(std::move(*pin));
    const LoginRefusal& refusal = login.error();
    screen.error = retry_text(refusal);
    if (screen.error.empty() || asked == MAX_PROMPTED_PINS) return std::unexpected(refusal.message);
  }
}

std::expected<OperationPin, std::string> ask_operation_pin(platform::PinDialog& dialog, const PromptFacts& facts,
                                                           const Session& session) {
  platform::PinScreen screen = prompt_screen(facts, read_token_info(session.module(), session.slot()));
  if (screen.on_reader) return OperationPin{{}, std::move(screen)};  // the reader asks for it itself
  auto pin = entered_pin(dialog, screen);
  if (!pin) return std::unexpected(std::move(pin.error()));
  return OperationPin{PromptedPin(std::move(*pin)), std::nullopt};
}

std::expected<void, std::string> confirm_signature(platform::PinDialog& dialog, const PromptFacts& facts,
                                                   const Session& session) {
  const platform::PinScreen screen = confirmation_screen(facts, read_token_info(session.module(), session.slot()));
  auto confirmed =
      traced_showing("prompt", "confirmation", dialog.program(), "confirmed", [&] { return dialog.confirm(screen); });
  if (!confirmed) return std::unexpected(stop_text(confirmed.error(), Asked::Confirmation));
  return {};
}

std::optional<platform::PinScreen> keypad_screen(const PromptFacts& facts, const Session& session) {
  platform::PinScreen screen = prompt_screen(facts, read_token_info(session.module(), session.slot()));
  if (!screen.on_reader) return std::nullopt;
  return screen;
}

void show_during_keypad_login(platform::PinDialog& dialog, const platform::PinScreen& screen,
                              const std::function<void()>& login) {
  bool ran = false;
  (void)traced_showing("prompt", "keypad", dialog.program(), "closed", [&] {
    return dialog.show_during(screen, [&] {
      ran = true;
      login();
    });
  });
  if (!ran) login();
}

}  // namespace p11agent
