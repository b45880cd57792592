#pragma once
// Slots and sessions.
#include <optional>
#include <string>
#include <vector>

#include "token/module.h"

namespace p11agent {

// An open session. Holds its module, so the module outlives it; closes itself (the
// result of C_CloseSession is of no use to anyone at that point).
class Session {
 public:
  Session(ModulePtr module, CK_SESSION_HANDLE handle, CK_SLOT_ID slot)
      : module_(std::move(module)), handle_(handle), slot_(slot) {}
  ~Session() { close(); }
  // Two owners would close the handle twice.
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  Session(Session&& other) noexcept { *this = std::move(other); }
  Session& operator=(Session&& other) noexcept;

  const Pkcs11Module& module() const { return *module_; }
  const CK_FUNCTION_LIST& functions() const { return module_->functions(); }
  CK_SESSION_HANDLE handle() const { return handle_; }
  CK_SLOT_ID slot() const { return slot_; }

 private:
  void close();
  ModulePtr module_;
  CK_SESSION_HANDLE handle_ = CK_INVALID_HANDLE;
  CK_SLOT_ID slot_ = 0;
};

// Slots holding a token, in the module's order.
Pkcs11Result<std::vector<CK_SLOT_ID>> slots_with_token(const Pkcs11Module& module);

Pkcs11Result<Session> open_ro_session(const ModulePtr& module, CK_SLOT_ID slot);
Pkcs11Result<Session> open_rw_session(const ModulePtr& module, CK_SLOT_ID slot);

// The token's label and serial number, decoded and without trailing spaces.
struct TokenIdentity {
  std::string label;
  std::string serial;
};

// C_GetTokenInfo as a whole; nullopt when it fails.
std::optional<CK_TOKEN_INFO> read_token_info(const Pkcs11Module& module, CK_SLOT_ID slot);

// Label and serial as UTF-8 with trailing spaces removed; nullopt when the token
// information is unreadable (also when a clock token's time is not a time).
std::optional<TokenIdentity> read_token_label_serial(const Pkcs11Module& module, CK_SLOT_ID slot);

// The identity used in certificate listings: also stripped of spaces and control
// characters at both ends.
std::optional<TokenIdentity> token_identity(const Pkcs11Module& module, CK_SLOT_ID slot);

}  // namespace p11agent
