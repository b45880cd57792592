#pragma once
// Signing the caller's bytes with the key of a certificate.
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "token/objects.h"

namespace p11agent {

struct SignOutput {
  Bytes signature;
  Bytes cert_der;
};

// The first private key whose CKA_ID equals `id`.
std::expected<CK_OBJECT_HANDLE, std::string> find_private_key(const Session& session, const Bytes& id);

// CKM_ECDSA for an EC key, CKM_RSA_PKCS for anything else.
std::expected<CK_MECHANISM_TYPE, std::string> choose_mechanism(const Session& session, CK_OBJECT_HANDLE key);

// C_SignInit, then C_Sign for the length and again for the signature. The bytes are
// signed as given: no digest, no DigestInfo.
Pkcs11Result<Bytes> sign_data(const Session& session, CK_MECHANISM_TYPE mechanism,
                              CK_OBJECT_HANDLE key, std::span<const std::uint8_t> data);

// Loads the module, logs in on the token that shows the certificate, finds the
// certificate and its key, signs, and releases everything again. `located_slot` is where
// a search of the module found the certificate, if one did.
std::expected<SignOutput, std::string> sign_once(const std::string& module_path, std::string_view pin,
                                                 std::string_view thumbprint, std::span<const std::uint8_t> data,
                                                 std::optional<CK_SLOT_ID> located_slot = std::nullopt);

}  // namespace p11agent
