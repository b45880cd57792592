#include "sign/login.h"

#include <algorithm>
#include <cstring>

#include "frontend/text.h"
#include "platform/secure_memory.h"
#include "token/pkcs11_call.h"

namespace p11agent {

PinCopy::PinCopy(std::string_view pin)
    : data_(std::make_unique<std::uint8_t[]>(pin.size())), size_(pin.size()) {
  if (size_ != 0) std::memcpy(data_.get(), pin.data(), size_);
}

PinCopy::~PinCopy() { wipe(); }

void PinCopy::wipe() { platform::secure_zero(data_.get(), size_); }

Pkcs11Result<void> login_user(const Session& session, PinCopy& pin) {
  auto length = to_ck_ulong(pin.bytes().size());
  if (!length) {
    pin.wipe();
    return std::unexpected(length.error());
  }
  auto result = call("Login", session.functions().C_Login, session.handle(), CKU_USER,
                     pin.bytes().data(), *length);
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

bool is_wrong_or_locked_pin(const std::string& error_text) {
  // The descriptions of the return values use these words only for a wrong or locked PIN
  // (and the mutex error that shares "locked").
  std::string lowered = ascii_lowercase(error_text);
  return lowered.find("incorrect") != std::string::npos || lowered.find("locked") != std::string::npos;
}

bool is_already_logged_in(const std::string& error_text) {
  return error_text.find("ALREADY_LOGGED_IN") != std::string::npos ||
         error_text.find("already logged") != std::string::npos;
}

Pkcs11Result<void> login_once(const Session& session, std::string_view pin) {
  PinCopy copy(pin);
  return login_user(session, copy);
}

}  // namespace

std::string classify_login_error(const std::string& error_text,
                                 std::int32_t (*tries_left)(const Pkcs11Module&, CK_SLOT_ID),
                                 const Session& session) {
  if (is_wrong_or_locked_pin(error_text))
    return "WRONG_PIN:" + std::to_string(tries_left(session.module(), session.slot()));
  return "C_Login: " + error_text;
}

std::expected<void, std::string> login_for_one_shot(const Session& session, std::string_view pin) {
  auto result = login_once(session, pin);
  if (result) return {};
  return std::unexpected(classify_login_error(result.error().text(), pin_tries_left, session));
}

std::expected<void, std::string> login_held_session(const Session& session, std::string_view pin) {
  auto first = login_once(session, pin);
  if (first) return {};
  std::string text = first.error().text();
  if (is_already_logged_in(text)) {
    // Someone else's login on this token is still in force: start over once.
    (void)call("Logout", session.functions().C_Logout, session.handle());
    auto second = login_once(session, pin);
    if (second) return {};
    text = second.error().text();
    if (is_already_logged_in(text)) return {};
  }
  return std::unexpected(classify_login_error(text, held_pin_tries_left, session));
}

}  // namespace p11agent
