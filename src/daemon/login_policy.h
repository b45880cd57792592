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

// The deployer's values as set (nullopt: not set), by their names.
struct LoginSettings {
  std::optional<std::string> signature_consent;   // SignatureConsent: each, pin or none
  std::optional<std::string> login_idle_seconds;  // LoginIdleSeconds: a whole number, 0 for never
  std::optional<std::string> lock_ends_logins;    // LockEndsLogins: 1 or 0
};
inline constexpr const char* SIGNATURE_CONSENT_SETTING = "SignatureConsent";
inline constexpr const char* LOGIN_IDLE_SETTING = "LoginIdleSeconds";
inline constexpr const char* LOCK_ENDS_LOGINS_SETTING = "LockEndsLogins";

// The browser host's idle limit where the deployer sets none, and where a value is not one.
inline constexpr std::chrono::seconds BROWSER_LOGIN_IDLE_LIMIT{600};

// The policy of the mode (the browser host, or serve) under the settings, and what is wrong
// with a value the deployer set (each read as the strictest choice: each, 600, 1).
struct PolicyReading {
  LoginPolicy policy;
  std::vector<std::string> problems;
};
PolicyReading read_login_policy(bool browser, const LoginSettings& settings);

// The settings this machine's deployer made.
LoginSettings deployer_login_settings();

// How a person reads the policy: "SignatureConsent each, LoginIdleSeconds 600, LockEndsLogins 1".
std::string policy_text(const LoginPolicy& policy);

}  // namespace p11agent
