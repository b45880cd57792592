#include "sign/held_login.h"

#include <algorithm>
#include <optional>

#include "platform/digest.h"
#include "sign/login.h"
#include "token/certificate.h"
#include "token/pkcs11_call.h"
#include "token/token_certs.h"

namespace p11agent {

PinDigest pin_digest(std::string_view pin) {
  return platform::sha256({reinterpret_cast<const std::uint8_t*>(pin.data()), pin.size()});
}

void drop_module_login(DaemonState& state, const std::string& module_path) {
  if (auto held = state.held_sessions.find(module_path); held != state.held_sessions.end()) {
    (void)call("Logout", held->second.functions().C_Logout, held->second.handle());
    state.held_sessions.erase(held);  // closes it
  }
  state.session_slots.erase(module_path);
  state.pin_digests.erase(module_path);
  std::erase_if(state.cached_logins, [&](const auto& entry) { return entry.second.module_path == module_path; });
}

namespace {

constexpr CK_ATTRIBUTE_TYPE VALUE_AND_ID[] = {CKA_VALUE, CKA_ID};

struct FoundCert {
  CK_SLOT_ID slot;
  Bytes der;
  Bytes id;  // empty when the object has none
};

std::optional<FoundCert> find_cert_with_id(const ModulePtr& module, const std::string& thumbprint) {
  std::optional<FoundCert> found;
  for_each_certificate(module, {VALUE_AND_ID, nullptr, [&](CK_SLOT_ID slot, const Attributes& attributes) {
                                  const Bytes& der = *attributes.find(CKA_VALUE);
                                  if (thumbprint_of(der) != thumbprint) return false;
                                  const Bytes* id = attributes.find(CKA_ID);
                                  found = FoundCert{slot, der, id != nullptr ? *id : Bytes{}};
                                  return true;
                                }});
  return found;
}

// The held session for the module on the slot, opened when none is held. nullptr when
// the slot has lost its token or no session opens: the search then goes on elsewhere.
const Session* hold_session(DaemonState& state, const ModulePtr& module, CK_SLOT_ID slot) {
  const std::string& path = module->path();
  auto slot_entry = state.session_slots.find(path);
  if (slot_entry == state.session_slots.end() || slot_entry->second != slot) drop_module_login(state, path);
  if (auto held = state.held_sessions.find(path); held != state.held_sessions.end()) return &held->second;
  auto slots = slots_with_token(*module);
  if (!slots || std::find(slots->begin(), slots->end(), slot) == slots->end()) return nullptr;
  auto session = open_rw_session(module, slot);
  if (!session) return nullptr;
  state.held_sessions.insert_or_assign(path, std::move(*session));
  state.session_slots[path] = slot;
  return &state.held_sessions.at(path);
}

std::expected<CachedLogin, std::string> log_in_and_prepare_key(DaemonState& state, const Session& session,
                                                               FoundCert cert, std::string_view pin) {
  if (cert.id.empty()) return std::unexpected("cert has no CKA_ID");
  if (auto login = login_held_session(session, pin); !login) return std::unexpected(login.error());
  const std::string& path = session.module().path();
  state.pin_digests[path] = pin_digest(pin);
  auto key = find_private_key(session, cert.id);
  if (!key) return std::unexpected(key.error());
  auto mechanism = choose_mechanism(session, *key);
  if (!mechanism) return std::unexpected(mechanism.error());
  return CachedLogin{path, std::move(cert.der), *mechanism, *key};
}

}  // namespace

std::expected<CachedLogin, std::string> prepare_held_login(DaemonState& state, const std::string& thumbprint,
                                                           std::string_view pin) {
  // A snapshot: the loop below may not change the table, but the modules stay held.
  std::vector<ModulePtr> modules;
  for (const auto& [path, module] : state.module_table) modules.push_back(module);
  for (const ModulePtr& module : modules) {
    auto cert = find_cert_with_id(module, thumbprint);
    if (!cert) continue;
    const Session* session = hold_session(state, module, cert->slot);
    if (session == nullptr) continue;
    return log_in_and_prepare_key(state, *session, std::move(*cert), pin);
  }
  return std::unexpected("certificate not found on any connected token");
}

}  // namespace p11agent
