#pragma once
// What a token says it can do: its mechanisms, and for the signing ones, whether they sign
// and with keys of which sizes.
#include <optional>
#include <vector>

#include "token/module.h"

namespace p11agent {

struct MechanismInfo {
  CK_MECHANISM_TYPE type = 0;
  // From C_GetMechanismInfo; nullopt where the token did not give it (the mechanism is then
  // taken as it is listed).
  std::optional<CK_MECHANISM_INFO> info;
};

// The signing mechanisms the agent uses (RSA PKCS #1 v1.5, RSA-PSS, ECDSA) with their
// information, and the digests listed, read with C_GetMechanismList (once for the count,
// once for the list) and a C_GetMechanismInfo for each signing mechanism listed. nullopt
// when the token does not tell (no C_GetMechanismList, or it fails): a signature is then
// tried as asked.
using TokenMechanisms = std::optional<std::vector<MechanismInfo>>;
TokenMechanisms read_mechanisms(const Pkcs11Module& module, CK_SLOT_ID slot);

// The listed mechanism of this type; nullptr when it is not listed.
const MechanismInfo* find_mechanism(const std::vector<MechanismInfo>& mechanisms, CK_MECHANISM_TYPE type);

}  // namespace p11agent
