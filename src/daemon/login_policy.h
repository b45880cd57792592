#pragma once
// How the daemon's held logins serve signatures, and when they end: what a signature on a
// login held already asks of the user, how long an unused login is held, and whether the
// user's leaving (a locked screen) ends it. The browser host's defaults ask a confirmation
// for each signature and end a login after 10 idle minutes or at a locked screen; serve's
// hold a login for the daemon's life and use it without a dialog. The deployer can choose
// otherwise for either.
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "settings/settings.h"

namespace p11agent {

enum class SignatureConsent {
  Each,  // a signature on a login held already is made after the user confirms it
  Pin,   // every signature asks the PIN: no login outlives the request that made it
  None,  // a held login signs without a dialog
};

struct LoginPolicy {
  SignatureConsent consent = SignatureConsent::None;
  std::optional<std::chrono::seconds> idle_limit;  // none: a login is not ended for being unused
  bool lock_ends_logins = false;
};

// Whether a signature needs the user first, decided here alone for every command that uses a
// key for a caller; the commands carry out the answer. Under `each` and `pin` a signature is
// made only when the user acted for that very request in the agent's own dialog: typed the
// PIN into its prompt (or on the reader's keypad), or confirmed it. A PIN the request
// carries logs in, but is no consent: whoever sent the request holds it, a script the user
// never saw among them.
enum class PinCame {
  Prompt,    // typed into the agent's prompt for this request
  Keypad,    // entered on the reader's keypad for this request
  Request,   // carried in the request
  NotAsked,  // the request carries none and the user has given none for it yet
};
enum class LoginAt { New, Held };  // whether this request's way of logging in holds the token already
// What the key itself asks: its PIN at every signature (CKA_ALWAYS_AUTHENTICATE) or once a
// login; unknown before the login, while its private attributes cannot be read.
enum class KeyRule { Unknown, PinOnceALogin, PinEachSignature };
enum class ConsentStep {
  Sign,     // the user acted for this request already, or the deployer asks nothing
  Confirm,  // the user confirms the signature first (before C_Login where the login is new)
  Prompt,   // the user types a PIN into the agent's prompt first
};
ConsentStep consent_step(SignatureConsent setting, PinCame pin, LoginAt login, KeyRule key);

// The deployer's values as set (nullopt: not set), by their names.
struct LoginSettings {
  std::optional<std::string> signature_consent;   // SignatureConsent: each, pin or none
  std::optional<std::string> login_idle_seconds;  // LoginIdleSeconds: a whole number, 0 for never
  std::optional<std::string> lock_ends_logins;    // LockEndsLogins: 1 or 0
};
inline constexpr const char* SIGNATURE_CONSENT_SETTING = platform::SIGNATURE_CONSENT;
inline constexpr const char* LOGIN_IDLE_SETTING = platform::LOGIN_IDLE_SECONDS;
inline constexpr const char* LOCK_ENDS_LOGINS_SETTING = platform::LOCK_ENDS_LOGINS;

// The browser host's idle limit where the deployer sets none, and where a value is not one.
inline constexpr std::chrono::seconds BROWSER_LOGIN_IDLE_LIMIT{600};

// The policy of the mode (the browser host, or serve) under the settings, and what is wrong
// with a value the deployer set (each read as the strictest choice: each, 600, 1).
struct PolicyReading {
  LoginPolicy policy;
  std::vector<std::string> problems;
};
PolicyReading read_login_policy(bool browser, const LoginSettings& settings);

// The settings this machine's deployer made, as read once for the process.
LoginSettings deployer_login_settings();

// How a person reads the policy: "SignatureConsent each, LoginIdleSeconds 600, LockEndsLogins 1".
std::string policy_text(const LoginPolicy& policy);

}  // namespace p11agent
