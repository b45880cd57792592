#pragma once
// Logging the token user in, and what a failed login tells the caller.
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "token/session.h"

namespace p11agent {

// The PIN a login sends; nullopt where the token takes it on its reader's own keypad
// (CKF_PROTECTED_AUTHENTICATION_PATH), and C_Login is called without one.
using LoginPin = std::optional<std::string_view>;

// The private copy of a PIN that one C_Login call reads from. login_user wipes it right
// after the call; the destructor wipes it again (whole allocation) before releasing it.
class PinCopy {
 public:
  explicit PinCopy(std::string_view pin);
  ~PinCopy();
  // Copies of a secret would be copies to wipe.
  PinCopy(const PinCopy&) = delete;
  PinCopy& operator=(const PinCopy&) = delete;

  std::span<std::uint8_t> bytes() { return {data_.get(), size_}; }
  void wipe();

 private:
  std::unique_ptr<std::uint8_t[]> data_;
  std::size_t size_;
};

// C_Login for the normal user (or, after C_SignInit, for that one operation) from the
// copy, which holds only zero bytes afterwards.
Pkcs11Result<void> login_user(const Session& session, PinCopy& pin, CK_USER_TYPE user = CKU_USER);

// C_Login for the operation just begun on the session, from a copy of `pin` wiped after it.
Pkcs11Result<void> login_for_operation(const Session& session, LoginPin pin);

// 0 locked, 1 final try, 2 count low, -1 no estimate, from the token's PIN flags.
std::int32_t pin_tries_left(const Pkcs11Module& module, CK_SLOT_ID slot);

// The held road asks only while the session's slot still holds a token.
std::int32_t held_pin_tries_left(const Pkcs11Module& module, CK_SLOT_ID slot);

// A failed login as the caller is told: "WRONG_PIN:<tries>" for a wrong or locked PIN,
// with the tries as a value too, else "C_Login: " + the error text. `tries_left` is asked
// only in the first case, after the failed login.
struct LoginRefusal {
  std::string message;
  std::optional<std::int32_t> tries_left = std::nullopt;  // set when the token refused the PIN
  CK_RV rv = CKR_OK;  // the return value the login failed with, where it failed with one
};
LoginRefusal classify_login_error(const Pkcs11Error& error, std::int32_t (*tries_left)(const Pkcs11Module&, CK_SLOT_ID),
                                  const Session& session);

// One-shot road: one login; a failure is classified.
std::expected<void, LoginRefusal> login_for_one_shot(const Session& session, LoginPin pin);

// A failed login on a held session: what the caller is told (with the tries left when the
// token refused the PIN, which logs its user out), and whether the module no longer knows
// the session (the caller may then try once more on a new one).
struct HeldLoginFailure {
  LoginRefusal refusal;
  bool session_lost = false;
  bool device_failed = false;  // a device-level answer: the module may have lost its state
};

// Whether the module says the session's token is still in its slot (C_GetSlotList) and
// the session logged in as the user (C_GetSessionInfo); neither takes a PIN. False when
// it cannot say.
bool session_logged_in(const Session& session);

// After a device-level answer to C_Login: whether a call that takes no PIN
// (C_GetTokenInfo) fails so too, in which case the module has lost its state.
bool token_lost_its_state(const Pkcs11Module& module, CK_SLOT_ID slot);

// Held-session road: a session already logged in is logged out and in once more. When the
// token still says "already logged in", that login counts only for the PIN it accepted on
// this held login before (`pin_accepted_before`): a PIN the token never said CKR_OK to is
// never taken as accepted.
std::expected<void, HeldLoginFailure> login_held_session(const Session& session, LoginPin pin,
                                                         bool pin_accepted_before);

}  // namespace p11agent
