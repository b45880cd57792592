#pragma once
// What the daemon holds between requests.
#include <array>
#include <compare>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "daemon/login_policy.h"
#include "daemon/module_loader.h"
#include "desktop/cert_picker.h"
#include "desktop/pin_dialog.h"
#include "desktop/screen_lock.h"
#include "sign/pin_prompt.h"
#include "sign/signing.h"
#include "token/mechanisms.h"
#include "token/session.h"
#include "token/token_watch.h"
#include "wire/request.h"

namespace p11agent {

using PinDigest = std::array<std::uint8_t, 32>;

// SHA-256 of the PIN; nullopt when it cannot be computed (nothing is then compared).
std::optional<PinDigest> pin_digest(std::string_view pin);

// Compares in time that does not depend on where the digests first differ.
bool same_digest(const PinDigest& a, const PinDigest& b);

// One token: the module it is reached through and its slot there.
struct TokenKey {
  std::string module_path;
  CK_SLOT_ID slot = 0;
  auto operator<=>(const TokenKey&) const = default;
};

// Where a certificate's key is, on its token's held session, and the sign answer's
// unchanging part (the certificate and the module), rendered once.
struct CachedLogin {
  TokenKey token;
  KeyUse key_use;
  CK_OBJECT_HANDLE key_handle;
  std::string answer_head;
  CertNames names;  // for the prompt or the confirmation at its signatures
  KeyFacts key;     // what the certificate says of the key, for signatures that name an algorithm
};

// What is held for one token: the read-write session logins happen on, while it is
// usable, and the digest of the PIN the token accepted on it. Each token has its own, so
// two tokens of one module stay logged in side by side.
// A login the user made in the prompt has no digest: it is held for the site that asked
// (prompted_site; "" for an application on this computer).
// The sites whose requests logged in on it (browser origins; "" for an application): a
// site's logout ends its own part, and the login itself once no site holds it.
struct TokenLogin {
  std::optional<Session> session;
  std::optional<PinDigest> pin_digest;
  std::optional<std::string> prompted_site;
  std::set<std::string, std::less<>> sites;
  // Made, or the user consented on it (a PIN typed into the prompt, a confirmation given,
  // a signature so made): nothing a caller sends without the user keeps it alive.
  std::chrono::steady_clock::time_point last_used{};
};

// How one request logs in: with the PIN it carries (and that PIN's digest), or with one the
// user enters in the prompt.
struct LoginWay {
  PinSource source;
  PinDigest digest{};
  std::optional<PromptedPin> entered;  // what the user entered in this request, once they have
  // What a login made for this request needs of the user before its C_Login (a signature's
  // confirmation, where its PIN came in the request).
  ConsentStep before_login = ConsentStep::Sign;
  // What its signatures ask of the user: the deployer's choice, or `each` for an
  // authentication, whatever the deployer chose.
  SignatureConsent consent = SignatureConsent::None;
  // Where a signature is confirmed; nullptr where the policy asks no confirmation (`none`).
  platform::PinDialog* confirmation = nullptr;
  bool confirmed = false;  // the user confirmed this request's signature
};

// How this request's PIN came, as far as it has.
PinCame pin_came(const LoginWay& way);

// What a caller may learn of the certificates and use them for.
enum class CertAccess {
  All,             // an application on this computer; a browser's site where the deployer allows listing
  ChosenOnly,      // a browser's site by default: it lists, finds and uses only what its user chose for it
  ChoiceRequired,  // the deployer's RequireCertChoice: it lists and finds nothing, and uses only what was chosen
};
CertAccess cert_access(bool browser, bool choice_required, bool listing_allowed);

// What the watch of the slots knows, by module path. `seen`: each module's last answer;
// `followed`: the tokens the daemon's state follows (a token that left it takes its login
// and what was read from it along).
struct SlotWatch {
  std::map<std::string, PresentTokens> seen;
  std::map<std::string, PresentTokens> followed;
  std::map<std::string, std::chrono::steady_clock::time_point> next_look;  // none: at once
  bool reporting = false;          // the caller asked for events (watch_tokens)
  bool change_unreported = false;  // the tokens changed since the last event
  std::chrono::steady_clock::time_point last_event{};
};

// The daemon's single state record; owned by the request loop, never shared.
struct DaemonState {
  ModuleLoader loader;
  ModuleTable module_table;
  std::vector<std::string> candidate_paths;
  std::map<TokenKey, TokenLogin> token_logins;
  std::map<TokenKey, TokenMechanisms> token_mechanisms;  // read once per token, for as long as its module is loaded
  std::unordered_map<std::string, CachedLogin> cached_logins;  // by lower-case thumbprint
  std::set<std::string> modules_lost;  // to be loaded afresh before the next request
  // Answering a browser: a validate or sign without a PIN asks the user for it, and with
  // `pin_prompt_required` (the deployer's setting) a request may not carry one.
  bool browser = false;
  bool pin_prompt_required = false;
  std::function<std::unique_ptr<platform::PinDialog>()> open_pin_dialog = platform::system_pin_dialog;
  // The certificates each site's user chose for it in this process's life (lower-case
  // thumbprints, by the site's origin), and what a site may do with the others.
  // Each choice keeps the token it is on: the token's removal takes it.
  std::map<std::string, std::map<std::string, TokenKey, std::less<>>, std::less<>> chosen_certs;
  CertAccess cert_access = CertAccess::All;
  std::function<std::unique_ptr<platform::CertPicker>()> open_cert_picker = platform::system_cert_picker;
  SlotWatch watch;
  // What signatures on held logins ask of the user, and when the logins end; the user's
  // leaving is told by the watch of the screen (none where the policy does not end logins then).
  LoginPolicy policy;
  std::unique_ptr<platform::ScreenLockWatch> screen_lock;
  std::uint64_t departures_seen = 0;
};

// The site the prompts and the picker name: the origin a browser says asks; "" (an
// application on this computer) otherwise.
inline std::string prompt_site(const DaemonState& state, const Request& request) {
  return state.browser ? request.origin.value_or("") : "";
}


// The token's mechanisms, read at the first request that needs them.
const TokenMechanisms& mechanisms_of(DaemonState& state, const Pkcs11Module& module, CK_SLOT_ID slot);

enum class LogoutFirst : bool { No, Yes };

// Closes the token's held session (after C_Logout when asked) and forgets its PIN digest
// and every login cached on it.
void forget_token_login(DaemonState& state, const TokenKey& token, LogoutFirst logout);

// The site's part of the token's login; the login itself (with C_Logout) once no other site
// holds it. Whether the site held it.
bool end_site_login(DaemonState& state, const TokenKey& token, std::string_view site);

// The same, without C_Logout, for every token of the module.
void forget_module_logins(DaemonState& state, const std::string& module_path);

// Forgets what was held for the modules and loads them afresh (a new host, a new
// C_Initialize); those that do not load in time are left out of the table. Whether all of
// them are in the table again.
bool reload_modules(DaemonState& state, const std::vector<std::string>& paths);

// Modules whose host did not answer in time or died in an earlier request, or that lost
// their state in one (modules_lost), are loaded afresh before the next one.
void reload_ended_modules(DaemonState& state);

// After a device-level failure of a C_Login on the token: when the token also fails a call
// that takes no PIN, its module lost its state and is loaded afresh before the next request
// (never within this one, which would send the PIN again).
void restart_module_if_token_lost(DaemonState& state, const Pkcs11Module& module, CK_SLOT_ID slot);

// A request's answer, and the module whose lost state made it fail, if one did.
struct Outcome {
  std::string answer;
  std::string lost_module;  // empty if none
};

// Runs the request; when a module or its device lost its state on the way (a reset token
// service, a host that died), that module gets a fresh host and the request one more run.
// Never more: a module that keeps failing costs one answer. When no fresh host can be had,
// the first run's answer stands.
template <typename Run>
std::string with_one_restart(DaemonState& state, Run run) {
  Outcome outcome = run();
  if (outcome.lost_module.empty() || !reload_modules(state, {outcome.lost_module})) return std::move(outcome.answer);
  return run().answer;
}

// The user consented on the token's login now: its idle time starts again.
void mark_login_used(DaemonState& state, const TokenKey& token);

// Between requests: ends (C_Logout, session closed, PIN digest forgotten) each login unused
// past the policy's idle limit, and every login once the user left the computer where the
// policy says so.
void end_expired_logins(DaemonState& state, std::chrono::steady_clock::time_point now);

// After a request's answer is written: under the consent `pin` no login outlives the request
// that made it.
void end_request_logins(DaemonState& state);

// Forgets every module's login without C_Logout (the token stays logged in for nobody)
// and releases the modules once their last session is closed.
void release_state(DaemonState& state);

}  // namespace p11agent
