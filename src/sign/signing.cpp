#include "sign/signing.h"

#include <algorithm>
#include <cstring>

#include "sign/cert_details.h"
#include "sign/login.h"
#include "text/utf8.h"
#include "pkcs11/bounds.h"
#include "token/certificate.h"
#include "token/messages.h"
#include "pkcs11/pkcs11_call.h"
#include "token/slot.h"
#include "token/token_certs.h"

namespace p11agent {

std::expected<CK_OBJECT_HANDLE, std::string> find_private_key(const Session& session, const Bytes& id) {
  const TemplateEntry query[] = {private_key_template().front(), {CKA_ID, id}};
  auto keys = find_objects(session, query);
  if (!keys) return std::unexpected(step::FIND_KEY + keys.error().text());
  if (keys->empty()) return std::unexpected("no private key for cert");
  return keys->front();
}

namespace {

// A CK_BBOOL of any other size, or missing, is false: the key then signs as any other.
bool is_true(const Bytes* value) {
  return value != nullptr && value->size() == sizeof(CK_BBOOL) && (*value)[0] != CK_FALSE;
}

// The two C_Sign calls of an operation already begun.
Pkcs11Result<Bytes> sign_started(const Session& session, std::span<const std::uint8_t> data) {
  auto& f = session.functions();
  auto data_length = to_ck_ulong(data.size());
  if (!data_length) return std::unexpected(data_length.error());
  auto* input = const_cast<std::uint8_t*>(data.data());
  CK_ULONG length = 0;
  if (auto r = call("Sign", f.C_Sign, session.handle(), input, *data_length, nullptr, &length); !r)
    return std::unexpected(r.error());
  if (length > MAX_SIGNATURE_LENGTH) return std::unexpected(Pkcs11Error::returned("Sign", CKR_HOST_MEMORY));
  // No signature has zero bytes; a module that says so is broken, not done.
  if (length == 0) return std::unexpected(Pkcs11Error::returned("Sign", CKR_GENERAL_ERROR));
  Bytes signature(length, std::uint8_t{0});
  if (auto r = call("Sign", f.C_Sign, session.handle(), input, *data_length, signature.data(), &length); !r)
    return std::unexpected(r.error());
  // The second answer's length stands when it is shorter. A longer one claims bytes that
  // were never written: padding them with zeros would hand out a corrupt signature as a
  // good one, so it is the error the token should have given.
  if (length > signature.size()) return std::unexpected(Pkcs11Error::returned("Sign", CKR_BUFFER_TOO_SMALL));
  if (length == 0) return std::unexpected(Pkcs11Error::returned("Sign", CKR_GENERAL_ERROR));
  signature.resize(length);
  return signature;
}

}  // namespace

std::expected<KeyUse, std::string> choose_mechanism(const Session& session, CK_OBJECT_HANDLE key, bool read_sign) {
  auto attributes = get_attributes(
      session, key, read_sign ? std::span<const CK_ATTRIBUTE_TYPE>(KEY_TYPE_AUTHENTICATION_AND_SIGN) : KEY_TYPE_AND_AUTHENTICATION);
  if (!attributes) return std::unexpected(step::GET_KEY_TYPE + attributes.error().text());
  const bool always_authenticate = is_true(attributes->find(CKA_ALWAYS_AUTHENTICATE));
  // Only a CKA_SIGN the key gives as false refuses: a key that does not say is tried.
  const Bytes* sign = attributes->find(CKA_SIGN);
  const bool may_sign = sign == nullptr || sign->size() != sizeof(CK_BBOOL) || is_true(sign);
  const Bytes* value = attributes->find(CKA_KEY_TYPE);
  if (value == nullptr) return KeyUse{CKM_RSA_PKCS, always_authenticate, std::nullopt, may_sign};
  CK_KEY_TYPE type = 0;
  if (value->size() != sizeof type)
    return std::unexpected(step::GET_KEY_TYPE + Pkcs11Error::of(Pkcs11Error::Kind::SliceConversion).text());
  std::memcpy(&type, value->data(), sizeof type);
  return KeyUse{type == CKK_EC ? CKM_ECDSA : CKM_RSA_PKCS, always_authenticate, type, may_sign};
}

std::expected<SignPlan, std::string> plan_for_key(const SignatureScheme& scheme, KeyFacts key, const KeyUse& use,
                                                  const TokenMechanisms& mechanisms) {
  if (use.key_type) key.type = use.key_type;
  auto plan = plan_signature(scheme, key, mechanisms);
  if (plan && !use.may_sign)
    return std::unexpected(ALGORITHM_NOT_SUPPORTED + plan->asked + " (the key may not sign: its CKA_SIGN is false)");
  return plan;
}

std::expected<Bytes, SignError> sign_data(const Session& session, const KeyUse& use, CK_OBJECT_HANDLE key,
                                          std::span<const std::uint8_t> data, LoginPin pin,
                                          const OperationPrompt& prompt, const SignPlan* plan) {
  CK_MECHANISM chosen{plan != nullptr ? plan->mechanism : use.mechanism, nullptr, 0};
  if (plan != nullptr && plan->pss) {
    chosen.pParameter = const_cast<CK_RSA_PKCS_PSS_PARAMS*>(&*plan->pss);
    chosen.ulParameterLen = sizeof *plan->pss;
  }
  // A key that asks for the PIN takes C_Login between C_SignInit and the length query.
  auto begun = use.always_authenticate ? call("SignInit", session.functions().C_SignInit, session.handle(), &chosen, key)
                                       : sign_init_for(session, chosen, key, data);
  if (!begun) return std::unexpected(SignError{begun.error()});
  if (use.always_authenticate) {
    Pkcs11Result<void> login;
    auto log_in = [&] { login = login_for_operation(session, pin); };
    if (!pin && prompt.keypad != nullptr)
      show_during_keypad_login(*prompt.dialog, *prompt.keypad, log_in);
    else
      log_in();
    if (!login) return std::unexpected(SignError{login.error(), true});
  }
  auto signature = sign_started(session, data);
  if (!signature) return std::unexpected(SignError{signature.error()});
  return std::move(*signature);
}

std::string sign_error_text(const SignError& error, std::int32_t (*tries_left)(const Pkcs11Module&, CK_SLOT_ID),
                            const Session& session, const SignPlan* plan) {
  if (error.at_operation_login) return classify_login_error(error.error, tries_left, session).message;
  if (plan != nullptr && error.error.kind == Pkcs11Error::Kind::ReturnValue && is_algorithm_refusal(error.error.rv))
    return ALGORITHM_NOT_SUPPORTED + plan->asked + ": " + step::SIGN + error.error.text();
  return step::SIGN + error.error.text();
}

std::expected<Bytes, SignError> sign_planned(const Session& session, const KeyUse& use, CK_OBJECT_HANDLE key,
                                             std::span<const std::uint8_t> data, LoginPin pin,
                                             const OperationPrompt& prompt, const SignPlan& plan) {
  auto signature = sign_data(session, use, key, signed_input(plan, data), pin, prompt, &plan);
  if (!signature) return signature;
  auto answered = answered_signature(plan, std::move(*signature));
  // An r‖s that cannot be one is the module's fault, as any malformed answer.
  if (!answered) return std::unexpected(SignError{Pkcs11Error::returned("Sign", CKR_GENERAL_ERROR)});
  return std::move(*answered);
}

namespace {

// The certificate (DER and CKA_ID) of the first object whose thumbprint matches.
struct MatchedCert {
  Bytes der;
  Bytes id;
};

std::expected<MatchedCert, std::string> find_signing_cert(const Session& session, const std::string& lowered) {
  auto handles = find_objects(session, certificate_template());
  if (!handles) return std::unexpected(step::FIND_CERTS + handles.error().text());
  ReadBudget budget;
  for (CK_OBJECT_HANDLE handle : *handles) {
    auto attributes = get_attributes(session, handle, VALUE_AND_ID, budget);
    if (!attributes) return std::unexpected(step::GET_CERT_ATTRS + attributes.error().text());
    const Bytes* der = attributes->find(CKA_VALUE);
    if (der == nullptr || thumbprint_of(*der) != lowered) continue;  // never equal when not computed
    // The first match decides, even when it has no id to find its key by.
    const Bytes* id = attributes->find(CKA_ID);
    if (id == nullptr) break;
    return MatchedCert{*der, *id};
  }
  return std::unexpected("no cert matched the requested thumbprint");
}

// The slot to log in on: the token that shows the certificate, so that a PIN is only ever
// tried on the token that holds it. With one token there is no choice to make. Where no
// token shows it before login (one that keeps certificates private), the first token.
CK_SLOT_ID login_slot(const OpenedModule& opened, const std::string& lowered, std::optional<CK_SLOT_ID> located) {
  const auto& slots = opened.slots;
  if (located && std::find(slots.begin(), slots.end(), *located) != slots.end()) return *located;
  if (slots.size() > 1)
    if (auto search = find_cert_on_module(opened.module, lowered); search.match) return search.match->slot;
  return slots.front();
}

// Logs the session in with the request's PIN, or through the prompt, which names the
// certificate where the token shows it before login (kept in `seen`). Answers the PIN for
// a signature's own login: the request's, or the one the user entered, kept in `entered`.
std::expected<LoginPin, std::string> log_in_once(const Session& session, const PinSource& source,
                                                 const std::string& lowered, PromptedPin& entered,
                                                 std::optional<MatchedCert>& seen, PromptFacts& facts) {
  auto try_pin = [&](LoginPin pin) { return login_for_one_shot(session, pin); };
  if (source.dialog == nullptr) {
    if (auto login = try_pin(source.pin); !login) return std::unexpected(std::move(login.error().message));
    return source.pin;
  }
  if (auto cert = find_signing_cert(session, lowered)) {
    facts.cert = cert_names(cert->der);
    seen = std::move(*cert);
  }
  auto prompted = log_in_through_prompt(*source.dialog, facts, session, try_pin);
  if (!prompted) return std::unexpected(std::move(prompted.error()));
  entered = std::move(*prompted);
  return login_pin_of(entered);
}

}  // namespace

std::expected<SignOutput, std::string> sign_once(const std::string& module_path, const PinSource& source,
                                                 std::string_view thumbprint, std::span<const std::uint8_t> data,
                                                 std::optional<CK_SLOT_ID> located_slot, const SignatureScheme& scheme) {
  // The session is declared after the module, so it is closed before the module is
  // finalised on every way out.
  auto opened = open_module_slots(module_path);
  if (!opened) return std::unexpected(opened.error());
  if (opened->slots.empty()) return std::unexpected("no token in any slot");
  const std::string lowered = ascii_lowercase(thumbprint);
  auto session = open_signing_session(opened->module, login_slot(*opened, lowered, located_slot));
  if (!session) return std::unexpected(step::OPEN_RW_SESSION + session.error().text());
  // A named signature the key or its token cannot make is refused before the PIN is used,
  // by what the certificate (where the token shows it before login) says of its key.
  PromptedPin entered;
  std::optional<MatchedCert> seen;
  TokenMechanisms mechanisms;
  KeyFacts key_facts;
  if (scheme.named()) {
    if (auto cert = find_signing_cert(*session, lowered)) {
      key_facts = cert_key_facts(cert->der);
      seen = std::move(*cert);
    }
    mechanisms = read_mechanisms(session->module(), session->slot());
    if (auto plan = plan_signature(scheme, key_facts, mechanisms); !plan) return std::unexpected(plan.error());
  }
  // Logging in first reports a wrong PIN even where the certificate is absent.
  PromptFacts facts = source.facts;
  auto pin = log_in_once(*session, source, lowered, entered, seen, facts);
  if (!pin) return std::unexpected(std::move(pin.error()));
  // The certificate the prompt showed is not searched for again.
  auto cert = seen ? std::move(*seen) : find_signing_cert(*session, lowered);
  if (!cert) return std::unexpected(cert.error());
  auto key = find_private_key(*session, cert->id);
  if (!key) return std::unexpected(key.error());
  auto use = choose_mechanism(*session, *key, scheme.named());
  if (!use) return std::unexpected(use.error());
  std::optional<SignPlan> plan;
  if (scheme.named()) {
    auto planned = plan_for_key(scheme, key_facts.type ? key_facts : cert_key_facts(cert->der), *use, mechanisms);
    if (!planned) return std::unexpected(planned.error());
    plan = std::move(*planned);
  }
  // A signature's own PIN entered on the reader's keypad: the screen names the certificate.
  std::optional<platform::PinScreen> keypad;
  if (use->always_authenticate && source.dialog != nullptr && !*pin) {
    if (!seen) facts.cert = cert_names(cert->der);
    keypad = keypad_screen(facts, *session);
  }
  const OperationPrompt prompt{source.dialog, keypad ? &*keypad : nullptr};
  auto signature = plan ? sign_planned(*session, *use, *key, data, *pin, prompt, *plan)
                        : sign_data(*session, *use, *key, data, *pin, prompt);
  if (!signature)
    return std::unexpected(sign_error_text(signature.error(), pin_tries_left, *session, plan ? &*plan : nullptr));
  return SignOutput{std::move(*signature), std::move(cert->der)};
}

}  // namespace p11agent
