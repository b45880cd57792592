#include "token/token_certs.h"

#include <algorithm>

#include "text/utf8.h"
#include "token/certificate.h"
#include "token/messages.h"

namespace p11agent {

namespace {

// The CKA_IDs of the private keys visible in the session, sorted so that a token with
// many keys and certificates is matched in n log n; failures count as no key.
std::vector<Bytes> private_key_ids(const Session& session, ReadBudget& budget) {
  std::vector<Bytes> ids;
  auto keys = find_objects(session, private_key_template());
  if (!keys) return ids;
  for (CK_OBJECT_HANDLE key : *keys) {
    auto attributes = get_attributes(session, key, ID_ONLY, budget);
    if (!attributes) continue;
    if (const Bytes* id = attributes->find(CKA_ID)) ids.push_back(*id);
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

bool has_matching_key(const Bytes* cert_id, const std::vector<Bytes>& sorted_key_ids) {
  // A certificate without an id is paired with whatever key the token shows.
  if (cert_id == nullptr) return !sorted_key_ids.empty();
  return std::binary_search(sorted_key_ids.begin(), sorted_key_ids.end(), *cert_id);
}

}  // namespace

namespace {

std::expected<std::vector<TokenCert>, std::string> certs_on_slots(const ModulePtr& module,
                                                                  std::span<const CK_SLOT_ID> slots,
                                                                  const std::string& module_path, WithMechanisms with) {
  std::vector<TokenCert> certs;
  ReadBudget budget;
  for (CK_SLOT_ID slot : slots) {
    const auto info = read_token_info(*module, slot);
    const TokenIdentity identity = (info ? listing_identity_of(*info) : std::nullopt).value_or(TokenIdentity{});
    auto session = open_ro_session(module, slot);
    if (!session) continue;
    std::vector<Bytes> key_ids = private_key_ids(*session, budget);
    const bool keys_after_login = key_ids.empty() && info && (info->flags & CKF_LOGIN_REQUIRED) != 0;
    const TokenMechanisms mechanisms = with == WithMechanisms::Yes ? read_mechanisms(*module, slot) : std::nullopt;
    auto handles = find_objects(*session, certificate_template());
    if (!handles) return std::unexpected(step::FIND_CERTS + handles.error().text());
    for (CK_OBJECT_HANDLE handle : *handles) {
      auto attributes = get_attributes(*session, handle, VALUE_AND_ID, budget);
      // A walk cut short would list part of the token as if it were all of it.
      if (!attributes && is_bound_exceeded(attributes.error()))
        return std::unexpected(step::FIND_CERTS + attributes.error().text());
      if (!attributes) continue;
      const Bytes* der = attributes->find(CKA_VALUE);
      if (der == nullptr) continue;
      auto thumbprint = thumbprint_of(*der);
      if (!thumbprint) return std::unexpected(THUMBPRINT_DIGEST_FAILED);
      certs.push_back(TokenCert{module_path, identity.label, identity.serial, *thumbprint, *der,
                                has_matching_key(attributes->find(CKA_ID), key_ids), keys_after_login, slot,
                                mechanisms});
    }
  }
  return certs;
}

}  // namespace

std::expected<std::vector<TokenCert>, std::string> list_token_certs(const std::string& module_path, WithMechanisms with) {
  auto opened = open_module_slots(module_path);
  if (!opened) return std::unexpected(opened.error());
  return certs_on_slots(opened->module, opened->slots, module_path, with);
}

std::expected<std::vector<TokenCert>, std::string> list_module_certs(const ModulePtr& module,
                                                                     const std::string& module_path) {
  auto slots = slots_with_token(*module);
  if (!slots) return std::unexpected(step::SLOTS_WITH_TOKEN + slots.error().text());
  return certs_on_slots(module, *slots, module_path, WithMechanisms::No);
}

namespace {

// The module's own failures: a token that went or a session the module dropped are the
// token's, and the search passes over them as before.
bool is_module_failure(const Pkcs11Error& error) {
  return is_module_state_lost(error) || error.kind == Pkcs11Error::Kind::NoAnswer;
}

// Records the first of the module's own failures, with its step's prefix.
void note_failure(std::optional<ModuleFailure>& first, const char* step, const Pkcs11Error& error) {
  if (!first && is_module_failure(error)) first = ModuleFailure{step + error.text(), error};
}

}  // namespace

CertificateWalk for_each_certificate(const ModulePtr& module, const CertificateVisitor& visitor) {
  CertificateWalk walk;
  auto slots = slots_with_token(*module);
  if (!slots) {
    note_failure(walk.failure, step::SLOTS_WITH_TOKEN, slots.error());
    return walk;
  }
  const char* read_step = visitor.types.size() == 1 ? step::GET_CERT_VALUE : step::GET_CERT_ATTRS;
  ReadBudget budget;
  for (CK_SLOT_ID slot : *slots) {
    if (visitor.on_slot) visitor.on_slot(slot);
    auto session = open_ro_session(module, slot);
    if (!session) {
      note_failure(walk.failure, step::OPEN_RO_SESSION, session.error());
      continue;
    }
    auto handles = find_objects(*session, certificate_template());
    if (!handles) {
      note_failure(walk.failure, step::FIND_CERTS, handles.error());
      continue;
    }
    for (CK_OBJECT_HANDLE handle : *handles) {
      auto attributes = get_attributes(*session, handle, visitor.types, budget);
      // Past the budget every read fails; the rest of the module counts as unreadable.
      if (!attributes && is_bound_exceeded(attributes.error())) return walk;
      if (!attributes) note_failure(walk.failure, read_step, attributes.error());
      if (attributes && attributes->find(CKA_VALUE) != nullptr && visitor.on_cert(slot, *attributes)) {
        walk.stopped = true;
        return walk;
      }
    }
  }
  return walk;
}

CertSearch find_cert_on_module(const ModulePtr& module, std::string_view lowered,
                               std::span<const CK_ATTRIBUTE_TYPE> types,
                               const std::function<void(CK_SLOT_ID)>& on_match) {
  CertSearch search;
  auto walk = for_each_certificate(module, {types, nullptr, [&](CK_SLOT_ID slot, const Attributes& attributes) {
                                              const Bytes& der = *attributes.find(CKA_VALUE);
                                              // Nor when the thumbprint is not computed.
                                              if (thumbprint_of(der) != lowered) return false;
                                              const Bytes* id = attributes.find(CKA_ID);
                                              search.match = CertMatch{slot, der, id != nullptr ? *id : Bytes{}};
                                              if (on_match) on_match(slot);
                                              return true;
                                            }});
  if (!search.match) search.failure = std::move(walk.failure);
  return search;
}

std::expected<CertLocation, std::string> find_cert_module(std::string_view thumbprint) {
  const std::string lowered = ascii_lowercase(thumbprint);
  FirstModuleFailure failed;
  for (const std::string& path : default_modules()) {
    auto module = open_module(path);
    if (!module) continue;
    auto search = find_cert_on_module(*module, lowered);
    if (search.match) return CertLocation{path, search.match->slot};
    failed.keep(std::move(search.failure), path);
  }
  return std::unexpected(failed.not_found_text());
}

void FirstModuleFailure::keep(std::optional<ModuleFailure> failure, const std::string& module_path) {
  if (failure_ || !failure) return;
  failure_ = std::move(failure);
  module_path_ = module_path;
}

std::string FirstModuleFailure::not_found_text() const { return failure_ ? failure_->text : CERT_NOT_FOUND; }

std::string FirstModuleFailure::module_to_restart() const {
  return failure_ && is_module_state_lost(failure_->error) ? module_path_ : std::string();
}

}  // namespace p11agent
