#include "daemon/held_login.h"

#include <algorithm>

#include "sign/login.h"
#include "sign/signing.h"
#include "token/messages.h"
#include "token/slot.h"
#include "token/token_certs.h"
#include "wire/response.h"

namespace p11agent {

namespace {

// The held session for the module on the slot, opened when none is held. nullptr when
// the slot has lost its token or no session opens: the search then goes on elsewhere.
const Session* hold_session(DaemonState& state, const ModulePtr& module, CK_SLOT_ID slot) {
  const std::string& path = module->path();
  auto held = state.module_logins.find(path);
  if (held != state.module_logins.end() && held->second.slot != slot) {
    forget_module_login(state, path, LogoutFirst::Yes);
    held = state.module_logins.end();
  }
  if (held != state.module_logins.end() && held->second.session) return &*held->second.session;
  auto slots = slots_with_token(*module);
  if (!slots || std::find(slots->begin(), slots->end(), slot) == slots->end()) return nullptr;
  auto session = open_rw_session(module, slot);
  if (!session) return nullptr;
  ModuleLogin& login = state.module_logins[path];
  login.session = std::move(*session);
  login.slot = slot;
  return &*login.session;
}

std::expected<CachedLogin, std::string> log_in_and_prepare_key(DaemonState& state, const Session& session,
                                                               CertMatch cert, std::string_view pin) {
  if (cert.id.empty()) return std::unexpected("cert has no CKA_ID");
  if (auto login = login_held_session(session, pin); !login) return std::unexpected(login.error());
  const std::string& path = session.module().path();
  state.module_logins.at(path).pin_digest = pin_digest(pin);
  auto key = find_private_key(session, cert.id);
  if (!key) return std::unexpected(key.error());
  auto mechanism = choose_mechanism(session, *key);
  if (!mechanism) return std::unexpected(mechanism.error());
  std::string head = sign_answer_head(cert.der, path);
  return CachedLogin{path, std::move(cert.der), *mechanism, *key, std::move(head)};
}

}  // namespace

std::expected<CachedLogin, HeldLoginError> prepare_held_login(DaemonState& state, const std::string& thumbprint,
                                                              std::string_view pin) {
  // A snapshot: the loop below may not change the table, but the modules stay held.
  std::vector<ModulePtr> modules;
  for (const auto& [path, module] : state.module_table) modules.push_back(module);
  for (const ModulePtr& module : modules) {
    auto cert = find_cert_on_module(module, thumbprint, VALUE_AND_ID);
    if (!cert) continue;
    const Session* session = hold_session(state, module, cert->slot);
    if (session == nullptr) continue;
    auto login = log_in_and_prepare_key(state, *session, std::move(*cert), pin);
    if (!login) return std::unexpected(HeldLoginError{HeldLoginError::Kind::Failed, std::move(login.error())});
    return std::move(*login);
  }
  return std::unexpected(HeldLoginError{HeldLoginError::Kind::CertNotFound, CERT_NOT_FOUND});
}

}  // namespace p11agent
