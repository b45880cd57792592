#pragma once
// Signing the caller's bytes with the key of a certificate.
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "sign/login.h"
#include "sign/pin_prompt.h"
#include "sign/signature_scheme.h"
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
  std::optional<CK_KEY_TYPE> key_type = std::nullopt;  // nullopt where the key does not say
  bool may_sign = true;                                // false where CKA_SIGN, read, says so
};

// CKM_ECDSA for an EC key, CKM_RSA_PKCS for anything else; the attributes in one read, and
// with `read_sign` CKA_SIGN among them (for a signature that names its algorithm).
std::expected<KeyUse, std::string> choose_mechanism(const Session& session, CK_OBJECT_HANDLE key, bool read_sign = false);

// A named signature's plan for the key as it shows itself after the login: its own type
// over the certificate's, and its CKA_SIGN.
std::expected<SignPlan, std::string> plan_for_key(const SignatureScheme& scheme, KeyFacts key, const KeyUse& use,
                                                  const TokenMechanisms& mechanisms);

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
// digest, no DigestInfo. With a plan, its mechanism and parameters.
std::expected<Bytes, SignError> sign_data(const Session& session, const KeyUse& use, CK_OBJECT_HANDLE key,
                                          std::span<const std::uint8_t> data, LoginPin pin,
                                          const OperationPrompt& prompt = {}, const SignPlan* plan = nullptr);

// The caller's message: a PIN the token did not take is classified as a login's failure
// ("WRONG_PIN:<tries>"), a named algorithm the module refused is ALGORITHM_NOT_SUPPORTED
// with the module's text, anything else is "C_Sign: " + the error text.
std::string sign_error_text(const SignError& error, std::int32_t (*tries_left)(const Pkcs11Module&, CK_SLOT_ID),
                            const Session& session, const SignPlan* plan = nullptr);

// A named signature of `data`: the plan's input signed, and the signature as answered.
std::expected<Bytes, SignError> sign_planned(const Session& session, const KeyUse& use, CK_OBJECT_HANDLE key,
                                             std::span<const std::uint8_t> data, LoginPin pin,
                                             const OperationPrompt& prompt, const SignPlan& plan);

// Where a one-shot login's PIN comes from: the request, or the user through the prompt.
struct PinSource {
  std::string_view pin;                   // the request's
  platform::PinDialog* dialog = nullptr;  // set: the user enters it here
  PromptFacts facts = {};
};

// Loads the module, logs in on the token that shows the certificate, finds the
// certificate and its key, signs, and releases everything again. `located_slot` is where
// a search of the module found the certificate, if one did.
// A scheme that names what to make is checked against the certificate's key and the
// token's mechanisms before the login, and against the key itself after it.
std::expected<SignOutput, std::string> sign_once(const std::string& module_path, const PinSource& source,
                                                 std::string_view thumbprint, std::span<const std::uint8_t> data,
                                                 std::optional<CK_SLOT_ID> located_slot = std::nullopt,
                                                 const SignatureScheme& scheme = {});

}  // namespace p11agent
