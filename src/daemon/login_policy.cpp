#include "daemon/login_policy.h"

#include <charconv>

#include "text/shown_text.h"
#include "text/utf8.h"

namespace p11agent {

namespace {

// A value as written, without the white space around it (invalid UTF-8 repaired first).
std::string value_of(const std::string& written) {
  const std::string valid = decode_utf8_lossy({reinterpret_cast<const std::uint8_t*>(written.data()), written.size()});
  return std::string(trim_white_space(valid));
}

// The deployer's words in a problem, as a person may read them safely.
std::string quoted(const std::string& value) { return "\"" + cut_text(shown_text(value), 40) + "\""; }

std::optional<SignatureConsent> consent_named(const std::string& word) {
  if (word == "each") return SignatureConsent::Each;
  if (word == "pin") return SignatureConsent::Pin;
  if (word == "none") return SignatureConsent::None;
  return std::nullopt;
}

std::optional<std::uint32_t> whole_number(const std::string& digits) {
  std::uint32_t number = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return number;
}

const char* consent_word(SignatureConsent consent) {
  switch (consent) {
    case SignatureConsent::Each: return "each";
    case SignatureConsent::Pin: return "pin";
    case SignatureConsent::None: break;
  }
  return "none";
}

}  // namespace

ConsentStep consent_step(SignatureConsent setting, PinCame pin, LoginAt login, KeyRule key) {
  switch (pin) {
    case PinCame::Prompt:
    case PinCame::Keypad:
      return ConsentStep::Sign;
    case PinCame::Request:
      return setting == SignatureConsent::None ? ConsentStep::Sign : ConsentStep::Confirm;
    case PinCame::NotAsked:
      break;
  }
  // The login's own PIN, or the key's for its signature, is asked in the prompt: that is
  // the user's act for this request.
  if (login == LoginAt::New || key == KeyRule::PinEachSignature) return ConsentStep::Prompt;
  switch (setting) {
    case SignatureConsent::Each: return ConsentStep::Confirm;
    case SignatureConsent::Pin: return ConsentStep::Prompt;
    case SignatureConsent::None: break;
  }
  return ConsentStep::Sign;
}

PolicyReading read_login_policy(bool browser, const LoginSettings& settings) {
  PolicyReading reading;
  LoginPolicy& policy = reading.policy;
  policy.consent = browser ? SignatureConsent::Each : SignatureConsent::None;
  if (browser) policy.idle_limit = BROWSER_LOGIN_IDLE_LIMIT;
  policy.lock_ends_logins = browser;
  if (settings.signature_consent) {
    const std::string word = value_of(*settings.signature_consent);
    const auto consent = consent_named(word);
    policy.consent = consent.value_or(SignatureConsent::Each);
    if (!consent)
      reading.problems.push_back(std::string(SIGNATURE_CONSENT_SETTING) + " " + quoted(word) +
                                 " is not each, pin or none: read as each");
  }
  if (settings.login_idle_seconds) {
    const std::string digits = value_of(*settings.login_idle_seconds);
    const auto seconds = whole_number(digits);
    if (!seconds)
      reading.problems.push_back(std::string(LOGIN_IDLE_SETTING) + " " + quoted(digits) +
                                 " is not a whole number of seconds: read as " +
                                 std::to_string(BROWSER_LOGIN_IDLE_LIMIT.count()));
    if (!seconds)
      policy.idle_limit = BROWSER_LOGIN_IDLE_LIMIT;
    else if (*seconds == 0)
      policy.idle_limit.reset();
    else
      policy.idle_limit = std::chrono::seconds(*seconds);
  }
  if (settings.lock_ends_logins) {
    const std::string flag = value_of(*settings.lock_ends_logins);
    policy.lock_ends_logins = flag != "0";
    if (flag != "0" && flag != "1")
      reading.problems.push_back(std::string(LOCK_ENDS_LOGINS_SETTING) + " " + quoted(flag) + " is not 1 or 0: read as 1");
  }
  return reading;
}

LoginSettings deployer_login_settings() {
  const platform::Settings& set = platform::settings();
  return {set.signature_consent, set.login_idle_seconds, set.lock_ends_logins};
}

std::string policy_text(const LoginPolicy& policy) {
  return std::string(SIGNATURE_CONSENT_SETTING) + " " + consent_word(policy.consent) + ", " + LOGIN_IDLE_SETTING + " " +
         (policy.idle_limit ? std::to_string(policy.idle_limit->count()) : std::string("0 (never)")) + ", " +
         LOCK_ENDS_LOGINS_SETTING + " " + (policy.lock_ends_logins ? "1" : "0");
}

}  // namespace p11agent
