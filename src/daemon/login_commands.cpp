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

constexpr std::chrono::seconds REFILL_DEADLINE{6};
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

bool digest_matches(const DaemonState& state, const std::string& module_path, const PinDigest& digest) {
  auto held = state.module_logins.find(module_path);
  return held != state.module_logins.end() && held->second.pin_digest && same_digest(*held->second.pin_digest, digest);
}

// prepare_held_login, with one refill of the known modules that were missing when the
// certificate is not found; stores the result under the (lower-case) thumbprint. The
// search compares thumbprints, so it needs them computable.
std::expected<void, std::string> ensure_cached_login(DaemonState& state, const std::string& thumbprint,
                                                     std::string_view pin, const PinDigest& digest) {
  if (auto ready = check_thumbprint_digest(); !ready) return std::unexpected(ready.error());
  auto login = prepare_held_login(state, thumbprint, pin, digest);
  if (!login && login.error().kind == HeldLoginError::Kind::CertNotFound && refill_module_table(state))
    login = prepare_held_login(state, thumbprint, pin, digest);
  if (!login) return std::unexpected(std::move(login.error().text));
  state.cached_logins.insert_or_assign(thumbprint, std::move(*login));
  return {};
}

}  // namespace

std::string handle_validate(DaemonState& state, const Request& request) {
  const std::string thumbprint = ascii_lowercase(text_of(request.thumbprint));
  const std::string_view pin = request.pin ? std::string_view(*request.pin) : std::string_view();
  if (thumbprint.empty() || pin.empty()) return error_response_text("validate requires thumbprint and pin");
  const auto digest = pin_digest(pin);
  if (!digest) return error_response_text(PIN_DIGEST_FAILED);
  if (auto cached = state.cached_logins.find(thumbprint);
      cached != state.cached_logins.end() && digest_matches(state, cached->second.module_path, *digest))
    return render_json(Json{{"cached", true}, {"ok", true}});
  if (auto login = ensure_cached_login(state, thumbprint, pin, *digest); !login)
    return error_response_text(login.error());
  return render_json(Json{{"ok", true}});
}

std::string handle_sign(DaemonState& state, const Request& request) {
  auto fields = check_sign_request(request);
  if (!fields) return error_response_text(fields.error());
  const std::string thumbprint = ascii_lowercase(fields->thumbprint);
  const auto digest = pin_digest(fields->pin);
  if (!digest) return error_response_text(PIN_DIGEST_FAILED);
  // Another PIN than the one the module was logged in with: that login is not this caller's.
  if (auto cached = state.cached_logins.find(thumbprint); cached != state.cached_logins.end()) {
    const std::string module_path = cached->second.module_path;
    if (!digest_matches(state, module_path, *digest)) forget_module_login(state, module_path, LogoutFirst::No);
  }
  std::string last_error;
  for (int attempt = 0; attempt < SIGN_ATTEMPTS; ++attempt) {
    if (!state.cached_logins.contains(thumbprint)) {
      if (auto login = ensure_cached_login(state, thumbprint, fields->pin, *digest); !login)
        return error_response_text(login.error());
    }
    const CachedLogin& record = state.cached_logins.at(thumbprint);
    auto held = state.module_logins.find(record.module_path);
    if (held == state.module_logins.end() || !held->second.session) {
      state.cached_logins.erase(thumbprint);
      continue;
    }
    const Session& session = *held->second.session;
    auto signature = sign_data(session, record.key_use, record.key_handle, fields->data, fields->pin);
    if (signature) return sign_answer(record.answer_head, *signature);
    last_error = sign_error_text(signature.error(), held_pin_tries_left, session);
    // The session is closed, and with it any operation left begun. The token may have been
    // pulled: the next attempt starts on a new one, unless the token refused the PIN for
    // this signature, which is not tried twice.
    const bool pin_refused = signature.error().at_operation_login && !is_session_lost(signature.error().error);
    held->second.session.reset();
    state.cached_logins.erase(thumbprint);
    if (pin_refused) break;
  }
  return error_response_text(last_error);
}

std::string handle_logout(DaemonState& state, const Request& request) {
  const std::string thumbprint = ascii_lowercase(text_of(request.thumbprint));
  std::vector<std::string> targets;
  if (thumbprint.empty()) {
    for (const auto& [path, login] : state.module_logins)
      if (login.session) targets.push_back(path);
  } else if (auto cached = state.cached_logins.find(thumbprint); cached != state.cached_logins.end()) {
    targets.push_back(cached->second.module_path);
  }
  for (const std::string& path : targets) forget_module_login(state, path, LogoutFirst::Yes);
  return render_json(Json{{"closed", targets.size()}, {"ok", true}});
}

}  // namespace p11agent
