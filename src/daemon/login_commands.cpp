#include "daemon/commands.h"
#include "daemon/held_login.h"
#include "platform/files.h"
#include "sign/login.h"
#include "sign/signing.h"
#include "text/utf8.h"
#include "token/certificate.h"
#include "token/messages.h"
#include "wire/request_checks.h"
#include "wire/response.h"

namespace p11agent {

namespace {

constexpr int SIGN_ATTEMPTS = 2;

std::string text_of(const std::optional<std::string>& field) { return field.value_or(std::string()); }

// Known modules that are not loaded but whose file is there now (the loader leaves out
// those still loading).
std::vector<std::string> missing_module_paths(const DaemonState& state) {
  std::vector<std::string> missing;
  for (const std::string& path : state.candidate_paths)
    if (!state.module_table.contains(path) && platform::file_exists(path)) missing.push_back(path);
  return missing;
}

bool refill_module_table(DaemonState& state) {
  ModuleTable loaded = state.loader.load(missing_module_paths(state), REFILL_DEADLINE);
  for (auto& [path, module] : loaded) state.module_table.insert_or_assign(path, std::move(module));
  return !loaded.empty();
}

// The token's held login when the token accepted this PIN on it; nullptr otherwise.
const TokenLogin* login_with_pin(const DaemonState& state, const TokenKey& token, const PinDigest& digest) {
  auto held = state.token_logins.find(token);
  const bool same_pin =
      held != state.token_logins.end() && held->second.pin_digest && same_digest(*held->second.pin_digest, digest);
  return same_pin ? &held->second : nullptr;
}

// prepare_held_login, with one refill of the known modules that were missing when the
// certificate is not found; stores the result under the (lower-case) thumbprint. The
// search compares thumbprints, so it needs them computable.
std::expected<void, HeldLoginError> ensure_cached_login(DaemonState& state, const std::string& thumbprint,
                                                        std::string_view pin, const PinDigest& digest) {
  if (auto ready = check_thumbprint_digest(); !ready)
    return std::unexpected(HeldLoginError{HeldLoginError::Kind::Failed, ready.error(), {}});
  auto login = prepare_held_login(state, thumbprint, pin, digest);
  if (!login && login.error().kind == HeldLoginError::Kind::CertNotFound && refill_module_table(state))
    login = prepare_held_login(state, thumbprint, pin, digest);
  if (!login) return std::unexpected(std::move(login.error()));
  state.cached_logins.insert_or_assign(thumbprint, std::move(*login));
  return {};
}

Outcome validate_once(DaemonState& state, const std::string& thumbprint, std::string_view pin,
                      const PinDigest& digest) {
  // Cached only while the login is held, and the module says the token is still logged in
  // on it: a card pulled and put back keeps no login, whatever the agent holds.
  if (auto cached = state.cached_logins.find(thumbprint); cached != state.cached_logins.end()) {
    const TokenKey token = cached->second.token;  // a copy: forgetting the login erases the record
    const TokenLogin* held = login_with_pin(state, token, digest);
    if (held && held->session) {
      if (session_logged_in(*held->session)) return {render_json(Json{{"cached", true}, {"ok", true}}), {}};
      // The login is gone: it starts over on a new session, the PIN sent to the token once.
      forget_token_login(state, token, LogoutFirst::No);
    }
  }
  if (auto login = ensure_cached_login(state, thumbprint, pin, digest); !login)
    return {error_response_text(login.error().text), login.error().lost_module};
  return {render_json(Json{{"ok", true}}), {}};
}

Outcome sign_once_held(DaemonState& state, const std::string& thumbprint, const SignFields& fields,
                       const PinDigest& digest) {
  std::string last_error;
  std::string lost_module;
  for (int attempt = 0; attempt < SIGN_ATTEMPTS; ++attempt) {
    if (!state.cached_logins.contains(thumbprint)) {
      if (auto login = ensure_cached_login(state, thumbprint, fields.pin, digest); !login)
        return {error_response_text(login.error().text), lost_module.empty() ? login.error().lost_module : lost_module};
    }
    const CachedLogin& record = state.cached_logins.at(thumbprint);
    auto held = state.token_logins.find(record.token);
    if (held == state.token_logins.end() || !held->second.session) {
      state.cached_logins.erase(thumbprint);
      continue;
    }
    const Session& session = *held->second.session;
    auto signature = sign_data(session, record.key_use, record.key_handle, fields.data, fields.pin);
    if (signature) return {sign_answer(record.answer_head, *signature), {}};
    const Pkcs11Error& error = signature.error().error;
    last_error = sign_error_text(signature.error(), held_pin_tries_left, session);
    // A rerun logs in again with the PIN the token accepted, unless the failure was in the
    // login for this signature: the PIN is not sent twice in one request, and a module that
    // lost its state there gets a fresh host before the next request instead.
    if (is_module_state_lost(error)) {
      if (!signature.error().at_operation_login)
        lost_module = record.token.module_path;
      else
        restart_module_if_token_lost(state, session.module(), session.slot());
    }
    // The session is closed, and with it any operation left begun. The token may have been
    // pulled: the next attempt starts on a new one, unless the token refused the PIN for
    // this signature, which is not tried twice, or the module did not answer in time,
    // which it is not given twice in one request.
    const bool pin_refused = signature.error().at_operation_login && !is_session_lost(error);
    const bool no_answer = error.kind == Pkcs11Error::Kind::NoAnswer;
    held->second.session.reset();
    state.cached_logins.erase(thumbprint);
    if (pin_refused || no_answer) break;
  }
  return {error_response_text(last_error), lost_module};
}

}  // namespace

std::string handle_validate(DaemonState& state, const Request& request) {
  const std::string thumbprint = ascii_lowercase(text_of(request.thumbprint));
  const std::string_view pin = request.pin ? std::string_view(*request.pin) : std::string_view();
  if (thumbprint.empty() || pin.empty()) return error_response_text("validate requires thumbprint and pin");
  const auto digest = pin_digest(pin);
  if (!digest) return error_response_text(PIN_DIGEST_FAILED);
  return with_one_restart(state, [&] { return validate_once(state, thumbprint, pin, *digest); });
}

std::string handle_sign(DaemonState& state, const Request& request) {
  auto fields = check_sign_request(request);
  if (!fields) return error_response_text(fields.error());
  const std::string thumbprint = ascii_lowercase(fields->thumbprint);
  const auto digest = pin_digest(fields->pin);
  if (!digest) return error_response_text(PIN_DIGEST_FAILED);
  // Another PIN than the one the module was logged in with: that login is not this caller's.
  if (auto cached = state.cached_logins.find(thumbprint); cached != state.cached_logins.end()) {
    const TokenKey token = cached->second.token;
    if (!login_with_pin(state, token, *digest)) forget_token_login(state, token, LogoutFirst::No);
  }
  return with_one_restart(state, [&] { return sign_once_held(state, thumbprint, *fields, *digest); });
}

std::string handle_logout(DaemonState& state, const Request& request) {
  const std::string thumbprint = ascii_lowercase(text_of(request.thumbprint));
  std::vector<TokenKey> targets;
  if (thumbprint.empty()) {
    for (const auto& [token, login] : state.token_logins)
      if (login.session) targets.push_back(token);
  } else if (auto cached = state.cached_logins.find(thumbprint); cached != state.cached_logins.end()) {
    targets.push_back(cached->second.token);
  }
  for (const TokenKey& token : targets) forget_token_login(state, token, LogoutFirst::Yes);
  return render_json(Json{{"closed", targets.size()}, {"ok", true}});
}

}  // namespace p11agent
