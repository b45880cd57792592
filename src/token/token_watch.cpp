#include "token/token_watch.h"

#include <algorithm>
#include <cstring>

#include "token/module_host.h"
#include "pkcs11/pkcs11_call.h"

namespace p11agent {

namespace {

// The token left the slot between the slot list and this question: it is not present.
bool token_went(CK_RV rv) {
  return rv == CKR_TOKEN_NOT_PRESENT || rv == CKR_DEVICE_REMOVED || rv == CKR_SLOT_ID_INVALID;
}

// Why a host gave no answer (it is then ended).
Pkcs11Error host_failure(CK_RV rv) {
  return Pkcs11Error::of_host(rv).value_or(Pkcs11Error::of(Pkcs11Error::Kind::HostEnded));
}

}  // namespace

Pkcs11Result<PresentTokens> read_present_tokens(const Pkcs11Module& module) {
  auto slots = slots_with_token(module);
  if (!slots) return std::unexpected(slots.error());
  PresentTokens tokens;
  for (CK_SLOT_ID slot : *slots) {
    CK_TOKEN_INFO info{};
    auto rv = call_rv(module.functions().C_GetTokenInfo, slot, &info);
    if (!rv) return std::unexpected(rv.error());
    if (token_went(*rv)) continue;
    if (*rv != CKR_OK) return std::unexpected(Pkcs11Error::returned("GetTokenInfo", *rv));
    PresentToken token{slot};
    std::ranges::copy(info.label, token.label.begin());
    std::ranges::copy(info.serialNumber, token.serial.begin());
    tokens.push_back(token);
  }
  return tokens;
}

namespace {

// A host's list, each entry checked: no more than a module may have slots, each label and
// serial of exactly its size.
std::optional<PresentTokens> read_host_list(host_protocol::Reader& r) {
  const std::uint64_t count = r.number();
  if (count > MAX_SLOTS || !r.can_hold(count, 3)) return std::nullopt;
  PresentTokens tokens(static_cast<std::size_t>(count));
  for (PresentToken& token : tokens) {
    token.slot = static_cast<CK_SLOT_ID>(r.number());
    const auto label = r.bytes();
    const auto serial = r.bytes();
    if (label.size() != token.label.size() || serial.size() != token.serial.size()) return std::nullopt;
    std::memcpy(token.label.data(), label.data(), label.size());
    std::memcpy(token.serial.data(), serial.data(), serial.size());
  }
  if (!r.ok()) return std::nullopt;
  return tokens;
}

}  // namespace

Pkcs11Result<std::optional<PresentTokens>> present_tokens_if_changed(const Pkcs11Module& module) {
  ModuleHost* host = module.host();
  if (host == nullptr) return read_present_tokens(module);
  if (host->ended()) return std::unexpected(host_failure(HOST_ENDED_RV));
  host_protocol::Writer request;
  request.number(static_cast<std::uint64_t>(host_protocol::Call::WatchTokens));
  host_protocol::Bytes answer;
  if (CK_RV failed = host->exchange(request, answer, host_protocol::Call::WatchTokens); failed != CKR_OK)
    return std::unexpected(host_failure(failed));
  host_protocol::Reader r(answer);
  const auto rv = static_cast<CK_RV>(r.number());
  const bool changed = r.number() != 0;
  if (!r.ok()) return std::unexpected(host_failure(host->broken()));
  if (rv != CKR_OK) return std::unexpected(Pkcs11Error::returned("GetSlotList", rv));
  if (!changed) return std::optional<PresentTokens>();
  auto tokens = read_host_list(r);
  if (!tokens) return std::unexpected(host_failure(host->broken()));
  return tokens;
}

void write_present_tokens(host_protocol::Writer& w, const PresentTokens& tokens) {
  w.number(tokens.size());
  for (const PresentToken& token : tokens)
    w.number(token.slot).bytes(token.label.data(), token.label.size()).bytes(token.serial.data(), token.serial.size());
}

TokenIdentity listing_identity(const PresentToken& token) {
  CK_TOKEN_INFO info{};  // no clock flag: only the label and serial are read
  std::ranges::copy(token.label, info.label);
  std::ranges::copy(token.serial, info.serialNumber);
  return listing_identity_of(info).value_or(TokenIdentity{});
}

}  // namespace p11agent
