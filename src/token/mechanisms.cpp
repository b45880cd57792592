#include "token/mechanisms.h"

#include <algorithm>

#include "pkcs11/bounds.h"
#include "pkcs11/pkcs11_call.h"

namespace p11agent {

namespace {

constexpr CK_MECHANISM_TYPE SIGNING_MECHANISMS[] = {CKM_RSA_PKCS, CKM_RSA_PKCS_PSS, CKM_ECDSA};

bool is_signing(CK_MECHANISM_TYPE type) { return std::ranges::find(SIGNING_MECHANISMS, type) != std::end(SIGNING_MECHANISMS); }

}  // namespace

TokenMechanisms read_mechanisms(const Pkcs11Module& module, CK_SLOT_ID slot) {
  auto& f = module.functions();
  CK_ULONG count = 0;
  if (!call("GetMechanismList", f.C_GetMechanismList, slot, nullptr, &count) || count > MAX_MECHANISMS)
    return std::nullopt;
  std::vector<CK_MECHANISM_TYPE> types(std::max<CK_ULONG>(count, 1));
  CK_ULONG returned = count;
  if (!call("GetMechanismList", f.C_GetMechanismList, slot, types.data(), &returned)) return std::nullopt;
  types.resize(std::min(count, returned));
  std::vector<MechanismInfo> mechanisms;
  for (CK_MECHANISM_TYPE type : types) {
    MechanismInfo mechanism{type, std::nullopt};
    CK_MECHANISM_INFO info{};
    if (is_signing(type) && call("GetMechanismInfo", f.C_GetMechanismInfo, slot, type, &info)) mechanism.info = info;
    mechanisms.push_back(mechanism);
  }
  return mechanisms;
}

const MechanismInfo* find_mechanism(const std::vector<MechanismInfo>& mechanisms, CK_MECHANISM_TYPE type) {
  auto found = std::ranges::find(mechanisms, type, &MechanismInfo::type);
  return found != mechanisms.end() ? &*found : nullptr;
}

}  // namespace p11agent
