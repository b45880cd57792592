#pragma once
// Sessions.
#include <cstdint>
#include <span>

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

Pkcs11Result<Session> open_ro_session(const ModulePtr& module, CK_SLOT_ID slot);
Pkcs11Result<Session> open_rw_session(const ModulePtr& module, CK_SLOT_ID slot);

// The session signing happens on: read-write, or read-only where the token is write
// protected (signing writes nothing).
Pkcs11Result<Session> open_signing_session(const ModulePtr& module, CK_SLOT_ID slot);

// C_SignInit for a signature of exactly `data` whose length query (C_Sign without a
// buffer) is the next call on the session: a module in a host makes that query at once and
// sends its answer with C_SignInit's, so the operation costs one message.
Pkcs11Result<void> sign_init_for(const Session& session, CK_MECHANISM& mechanism, CK_OBJECT_HANDLE key,
                                 std::span<const std::uint8_t> data);

}  // namespace p11agent
