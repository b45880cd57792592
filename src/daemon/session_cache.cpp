#include "daemon/session_cache.h"

#include "daemon/module_loader.h"
#include "frontend/encoding.h"
#include "frontend/response.h"
#include "frontend/text.h"
#include "platform/files.h"

namespace p11agent {

namespace {

constexpr int REFILL_DEADLINE_SECONDS = 6;
constexpr int SIGN_ATTEMPTS = 2;

std::string text_of(const std::optional<std::string>& field) { return field.value_or(std::string()); }

// Known modules that are not loaded but whose file is there now.
std::vector<std::string> missing_module_paths(const DaemonState& state) {
  std::vector<std::string> missing;
  for (const std::string& path : state.candidate_paths)
    if (!state.module_table.contains(path) && platform::file_exists(path)) missing.push_back(path);
  return missing;
}

bool refill_module_table(DaemonState& state) {
  auto missing = missing_module_paths(state);
  if (missing.empty()) return false;
  ModuleTable loaded = load_modules_parallel(missing, REFILL_DEADLINE_SECONDS);
  for (auto& [path, module] : loaded) state.module_table.insert_or_assign(path, std::move(module));
  return !loaded.empty();
}

// Closes the module's held session without logging out and forgets what was cached for it.
void forget_module_session(DaemonState& state, const std::string& module_path) {
  state.held_sessions.erase(module_path);
  state.pin_digests.erase(module_path);
  std::erase_if(state.cached_logins, [&](const auto& entry) { return entry.second.module_path == module_path; });
}

bool digest_matches(const DaemonState& state, const std::string& module_path, const PinDigest& digest) {
  auto stored = state.pin_digests.find(module_path);
  return stored != state.pin_digests.end() && stored->second == digest;
}

}  // namespace

std::expected<void, std::string> ensure_cached_login(DaemonState& state, const std::string& thumbprint,
                                                     std::string_view pin) {
  auto login = prepare_held_login(state, thumbprint, pin);
  if (!login && login.error().starts_with("certificate not found") && refill_module_table(state))
    login = prepare_held_login(state, thumbprint, pin);
  if (!login) return std::unexpected(login.error());
  state.cached_logins.insert_or_assign(thumbprint, std::move(*login));
  return {};
}

std::string handle_validate(DaemonState& state, const Request& request) {
  const std::string thumbprint = ascii_lowercase(text_of(request.thumbprint));
  const std::string pin = text_of(request.pin);
  if (thumbprint.empty() || pin.empty()) return error_response_text("validate requires thumbprint and pin");
  if (auto cached = state.cached_logins.find(thumbprint);
      cached != state.cached_logins.end() && digest_matches(state, cached->second.module_path, pin_digest(pin)))
    return render_json(Json{{"cached", true}, {"ok", true}});
  if (auto login = ensure_cached_login(state, thumbprint, pin); !login) return error_response_text(login.error());
  return render_json(Json{{"ok", true}});
}

std::string handle_sign(DaemonState& state, const Request& request) {
  const std::string thumbprint = ascii_lowercase(text_of(request.thumbprint));
  const std::string hash_hex = text_of(request.hash_hex);
  const std::string pin = text_of(request.pin);
  if (thumbprint.empty() || hash_hex.empty() || pin.empty())
    return error_response_text("sign requires thumbprint, hash_hex and pin");
  auto data = decode_hash_hex(hash_hex);
  if (!data) return error_response_text("hash_hex must be valid hex: " + data.error());
  // Another PIN than the one the module was logged in with: that login is not this caller's.
  if (auto cached = state.cached_logins.find(thumbprint); cached != state.cached_logins.end()) {
    const std::string module_path = cached->second.module_path;
    if (!digest_matches(state, module_path, pin_digest(pin))) forget_module_session(state, module_path);
  }
  std::string last_error;
  for (int attempt = 0; attempt < SIGN_ATTEMPTS; ++attempt) {
    if (!state.cached_logins.contains(thumbprint)) {
      if (auto login = ensure_cached_login(state, thumbprint, pin); !login) return error_response_text(login.error());
    }
    const CachedLogin& record = state.cached_logins.at(thumbprint);
    auto held = state.held_sessions.find(record.module_path);
    if (held == state.held_sessions.end()) {
      state.cached_logins.erase(thumbprint);
      continue;
    }
    auto signature = sign_data(held->second, record.mechanism, record.key_handle, *data);
    if (signature) {
      return render_json(Json{{"cert_der_b64", base64_encode(record.cert_der)}, {"module", record.module_path},
                              {"ok", true}, {"signature_hex", hex_encode(*signature)}});
    }
    // The token may have been pulled: the next attempt starts on a new session.
    last_error = signature.error().text();
    state.held_sessions.erase(held);
    state.cached_logins.erase(thumbprint);
  }
  return error_response_text("C_Sign: " + last_error);
}

std::string handle_logout(DaemonState& state, const Request& request) {
  const std::string thumbprint = ascii_lowercase(text_of(request.thumbprint));
  std::vector<std::string> targets;
  if (thumbprint.empty()) {
    for (const auto& [path, session] : state.held_sessions) targets.push_back(path);
  } else if (auto cached = state.cached_logins.find(thumbprint); cached != state.cached_logins.end()) {
    targets.push_back(cached->second.module_path);
  }
  for (const std::string& path : targets) drop_module_login(state, path);
  return render_json(Json{{"closed", targets.size()}, {"ok", true}});
}

}  // namespace p11agent
