#include "sign/login.h"

#include <algorithm>
#include <cstring>

#include "system/secure_memory.h"
#include "token/messages.h"
#include "pkcs11/pkcs11_call.h"
#include "token/slot.h"

namespace p11agent {

PinCopy::PinCopy(std::string_view pin)
    : data_(std::make_unique<std::uint8_t[]>(pin.size())), size_(pin.size()) {
  if (size_ != 0) std::memcpy(data_.get(), pin.data(), size_);
}

PinCopy::~PinCopy() { wipe(); }

void PinCopy::wipe() { platform::secure_zero(data_.get(), size_); }

Pkcs11Result<void> login_user(const Session& session, PinCopy& pin, CK_USER_TYPE user) {
  auto length = to_ck_ulong(pin.bytes().size());
  if (!length) {
    pin.wipe();
    return std::unexpected(length.error());
  }
  auto result = call("Login", session.functions().C_Login, session.handle(), user, pin.bytes().data(), *length);
  pin.wipe();
  return result;
}

std::int32_t pin_tries_left(const Pkcs11Module& module, CK_SLOT_ID slot) {
  auto info = read_token_info(module, slot);
  if (!info) return -1;
  if (info->flags & CKF_USER_PIN_LOCKED) return 0;
  if (info->flags & CKF_USER_PIN_FINAL_TRY) return 1;
  if (info->flags & CKF_USER_PIN_COUNT_LOW) return 2;
  return -1;
}

std::int32_t held_pin_tries_left(const Pkcs11Module& module, CK_SLOT_ID slot) {
  auto slots = slots_with_token(module);
  if (!slots || std::find(slots->begin(), slots->end(), slot) == slots->end()) return -1;
  return pin_tries_left(module, slot);
}

namespace {

// The return values whose descriptions speak of an incorrect or locked PIN (and the mutex
// error that shares "locked"): the failures reported as a wrong PIN.
bool is_wrong_or_locked_pin(const Pkcs11Error& error) {
  if (error.kind != Pkcs11Error::Kind::ReturnValue) return false;
  return error.rv == CKR_PIN_INCORRECT || error.rv == CKR_PIN_LOCKED || error.rv == CKR_MUTEX_NOT_LOCKED;
}

// The return values whose descriptions say a user is "already logged" in.
bool is_already_logged_in(const Pkcs11Error& error) {
  if (error.kind != Pkcs11Error::Kind::ReturnValue) return false;
  return error.rv == CKR_USER_ALREADY_LOGGED_IN || error.rv == CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
}

Pkcs11Result<void> login_once(const Session& session, LoginPin pin, CK_USER_TYPE user = CKU_USER) {
  if (!pin) return call("Login", session.functions().C_Login, session.handle(), user, nullptr, CK_ULONG{0});
  PinCopy copy(*pin);
  return login_user(session, copy, user);
}

}  // namespace

Pkcs11Result<void> login_for_operation(const Session& session, LoginPin pin) {
  return login_once(session, pin, CKU_CONTEXT_SPECIFIC);
}

LoginRefusal classify_login_error(const Pkcs11Error& error, std::int32_t (*tries_left)(const Pkcs11Module&, CK_SLOT_ID),
                                  const Session& session) {
  const CK_RV rv = error.kind == Pkcs11Error::Kind::ReturnValue ? error.rv : CKR_OK;
  if (!is_wrong_or_locked_pin(error)) return {step::LOGIN + error.text(), std::nullopt, rv};
  // A locked PIN is locked whatever the token's flags say (a TPM token sets none of them).
  const std::int32_t tries = error.answered(CKR_PIN_LOCKED) ? 0 : tries_left(session.module(), session.slot());
  return {"WRONG_PIN:" + std::to_string(tries), tries, rv};
}

std::expected<void, LoginRefusal> login_for_one_shot(const Session& session, LoginPin pin) {
  auto result = login_once(session, pin);
  if (result) return {};
  return std::unexpected(classify_login_error(result.error(), pin_tries_left, session));
}

std::expected<void, HeldLoginFailure> login_held_session(const Session& session, LoginPin pin,
                                                         bool pin_accepted_before) {
  auto first = login_once(session, pin);
  if (first) return {};
  Pkcs11Error error = first.error();
  if (is_already_logged_in(error)) {
    // Someone else's login on this token is still in force: start over once.
    (void)call("Logout", session.functions().C_Logout, session.handle());
    auto second = login_once(session, pin);
    if (second) return {};
    error = second.error();
    if (is_already_logged_in(error) && pin_accepted_before) return {};
  }
  return std::unexpected(HeldLoginFailure{classify_login_error(error, held_pin_tries_left, session),
                                          is_session_lost(error), is_module_state_lost(error)});
}

bool token_lost_its_state(const Pkcs11Module& module, CK_SLOT_ID slot) {
  CK_TOKEN_INFO info{};
  auto asked = call("GetTokenInfo", module.functions().C_GetTokenInfo, slot, &info);
  return !asked && is_module_state_lost(asked.error());
}

bool session_logged_in(const Session& session) {
  // Asking for the slots with a token makes smart-card middleware look at its readers:
  // a card pulled out (and perhaps put back) since the last call is noticed there and
  // its sessions end, where the session's own state would still say logged in.
  auto slots = slots_with_token(session.module());
  if (!slots || std::ranges::find(*slots, session.slot()) == slots->end()) return false;
  CK_SESSION_INFO info{};
  auto asked = call("GetSessionInfo", session.functions().C_GetSessionInfo, session.handle(), &info);
  return asked && (info.state == CKS_RW_USER_FUNCTIONS || info.state == CKS_RO_USER_FUNCTIONS);
}

}  // namespace p11agent
