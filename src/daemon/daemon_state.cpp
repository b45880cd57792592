#include "daemon/daemon_state.h"

#include <algorithm>

#include "system/digest.h"
#include "sign/login.h"
#include "pkcs11/call_trace.h"
#include "pkcs11/pkcs11_call.h"

namespace p11agent {

std::optional<PinDigest> pin_digest(std::string_view pin) {
  return platform::sha256({reinterpret_cast<const std::uint8_t*>(pin.data()), pin.size()});
}

bool same_digest(const PinDigest& a, const PinDigest& b) {
  std::uint8_t difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) difference |= static_cast<std::uint8_t>(a[i] ^ b[i]);
  return difference == 0;
}

void forget_token_login(DaemonState& state, const TokenKey& token, LogoutFirst logout) {
  if (auto held = state.token_logins.find(token); held != state.token_logins.end()) {
    const std::optional<Session>& session = held->second.session;
    if (logout == LogoutFirst::Yes && session)
      (void)call("Logout", session->functions().C_Logout, session->handle());
    state.token_logins.erase(held);  // closes the session
  }
  std::erase_if(state.cached_logins, [&](const auto& entry) { return entry.second.token == token; });
}

CertAccess cert_access(bool browser, bool choice_required, bool listing_allowed) {
  if (!browser) return CertAccess::All;
  if (choice_required) return CertAccess::ChoiceRequired;
  return listing_allowed ? CertAccess::All : CertAccess::ChosenOnly;
}

bool end_site_login(DaemonState& state, const TokenKey& token, std::string_view site) {
  auto held = state.token_logins.find(token);
  if (held == state.token_logins.end() || !held->second.session) return false;
  auto& sites = held->second.sites;
  const auto own = sites.find(site);
  if (own == sites.end()) return false;
  sites.erase(own);
  if (sites.empty()) forget_token_login(state, token, LogoutFirst::Yes);
  return true;
}

const TokenMechanisms& mechanisms_of(DaemonState& state, const Pkcs11Module& module, CK_SLOT_ID slot) {
  const TokenKey token{module.path(), slot};
  auto known = state.token_mechanisms.find(token);
  if (known == state.token_mechanisms.end()) known = state.token_mechanisms.emplace(token, read_mechanisms(module, slot)).first;
  return known->second;
}

void forget_module_logins(DaemonState& state, const std::string& module_path) {
  std::erase_if(state.token_logins, [&](const auto& entry) { return entry.first.module_path == module_path; });
  std::erase_if(state.token_mechanisms, [&](const auto& entry) { return entry.first.module_path == module_path; });
  std::erase_if(state.cached_logins, [&](const auto& entry) { return entry.second.token.module_path == module_path; });
}

bool reload_modules(DaemonState& state, const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    trace_host("restarted", path);
    forget_module_logins(state, path);
    state.module_table.erase(path);  // finalised, and its host ended
    state.modules_lost.erase(path);
  }
  for (auto& [path, module] : state.loader.load(paths, REFILL_DEADLINE))
    state.module_table.insert_or_assign(path, std::move(module));
  return std::all_of(paths.begin(), paths.end(), [&](const std::string& path) { return state.module_table.contains(path); });
}

void reload_ended_modules(DaemonState& state) {
  std::vector<std::string> ended;
  for (const auto& [path, module] : state.module_table)
    if (module->host_ended() || state.modules_lost.contains(path)) ended.push_back(path);
  state.modules_lost.clear();
  if (!ended.empty()) reload_modules(state, ended);
}

void restart_module_if_token_lost(DaemonState& state, const Pkcs11Module& module, CK_SLOT_ID slot) {
  if (token_lost_its_state(module, slot)) state.modules_lost.insert(module.path());
}

PinCame pin_came(const LoginWay& way) {
  if (way.source.dialog == nullptr) return PinCame::Request;
  if (!way.entered) return PinCame::NotAsked;
  return *way.entered ? PinCame::Prompt : PinCame::Keypad;
}

void mark_login_used(DaemonState& state, const TokenKey& token) {
  if (auto held = state.token_logins.find(token); held != state.token_logins.end())
    held->second.last_used = std::chrono::steady_clock::now();
}

namespace {
void end_logins_where(DaemonState& state, const std::function<bool(const TokenLogin&)>& ends) {
  std::vector<TokenKey> ending;
  for (const auto& [token, login] : state.token_logins)
    if (ends(login)) ending.push_back(token);
  for (const TokenKey& token : ending) forget_token_login(state, token, LogoutFirst::Yes);
}
}  // namespace

void end_expired_logins(DaemonState& state, std::chrono::steady_clock::time_point now) {
  if (state.screen_lock) {
    const std::uint64_t departures = state.screen_lock->departures();
    const bool left = departures != state.departures_seen;
    state.departures_seen = departures;
    if (left && state.policy.lock_ends_logins) end_logins_where(state, [](const TokenLogin&) { return true; });
  }
  if (const auto limit = state.policy.idle_limit)
    end_logins_where(state, [&](const TokenLogin& login) { return now - login.last_used >= *limit; });
}

void end_request_logins(DaemonState& state) {
  if (state.policy.consent == SignatureConsent::Pin) end_logins_where(state, [](const TokenLogin&) { return true; });
}

void release_state(DaemonState& state) {
  state.cached_logins.clear();
  state.token_logins.clear();  // closes every held session, without C_Logout
  state.module_table.clear();
}

}  // namespace p11agent
