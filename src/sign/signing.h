#pragma once
// Signing the caller's bytes with the key of a certificate.
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "sign/login.h"
#include "sign/pin_prompt.h"
#include "token/objects.h"

namespace p11agent {

struct SignOutput {
  Bytes signature;
  Bytes cert_der;
};

// The first private key whose CKA_ID equals `id`.
std::expected<CK_OBJECT_HANDLE, std::string> find_private_key(const Session& session, const Bytes& id);

// How a key signs: its mechanism, and whether its token asks for the PIN again for every
// signature (CKA_ALWAYS_AUTHENTICATE, common on qualified-signature cards).
struct KeyUse {
  CK_MECHANISM_TYPE mechanism;
  bool always_authenticate = false;
};

// CKM_ECDSA for an EC key, CKM_RSA_PKCS for anything else; both attributes in one read.
std::expected<KeyUse, std::string> choose_mechanism(const Session& session, CK_OBJECT_HANDLE key);

struct SignError {
  Pkcs11Error error;
  bool at_operation_login = false;  // the token did not take the PIN it asked for
};

// Where the PIN for a signature's own login is entered on the reader's keypad, the screen
// that names the certificate while the reader waits, and the dialog it is shown in (none
// where `keypad` is null).
struct OperationPrompt {
  platform::PinDialog* dialog = nullptr;
  const platform::PinScreen* keypad = nullptr;
};

// C_SignInit; for a key that asks for it, C_Login for this signature with `pin`; then
// C_Sign for the length and again for the signature. The bytes are signed as given: no
// digest, no DigestInfo.
std::expected<Bytes, SignError> sign_data(const Session& session, const KeyUse& use, CK_OBJECT_HANDLE key,
                                          std::span<const std::uint8_t> data, LoginPin pin,
                                          const OperationPrompt& prompt = {});

// The caller's message: a PIN the token did not take is classified as a login's failure
// ("WRONG_PIN:<tries>"), anything else is "C_Sign: " + the error text.
std::string sign_error_text(const SignError& error, std::int32_t (*tries_left)(const Pkcs11Module&, CK_SLOT_ID),
                            const Session& session);

// Where a one-shot login's PIN comes from: the request, or the user through the prompt.
struct PinSource {
  std::string_view pin;                   // the request's
  platform::PinDialog* dialog = nullptr;  // set: the user enters it here
  PromptFacts facts = {};
};

// Loads the module, logs in on the token that shows the certificate, finds the
// certificate and its key, signs, and releases everything again. `located_slot` is where
// a search of the module found the certificate, if one did.
std::expected<SignOutput, std::string> sign_once(const std::string& module_path, const PinSource& source,
                                                 std::string_view thumbprint, std::span<const std::uint8_t> data,
                                                 std::optional<CK_SLOT_ID> located_slot = std::nullopt);

}  // namespace p11agent
