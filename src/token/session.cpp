#include "token/session.h"

#include "token/module_host.h"
#include "pkcs11/pkcs11_call.h"

namespace p11agent {

Session& Session::operator=(Session&& other) noexcept {
  if (this != &other) {
    close();
    module_ = std::move(other.module_);
    handle_ = other.handle_;
    slot_ = other.slot_;
    other.module_.reset();
  }
  return *this;
}

void Session::close() {
  if (module_) (void)call("CloseSession", module_->functions().C_CloseSession, handle_);
  module_.reset();
}

namespace {
Pkcs11Result<Session> open_session(const ModulePtr& module, CK_SLOT_ID slot, CK_FLAGS flags) {
  CK_SESSION_HANDLE handle = CK_INVALID_HANDLE;
  if (auto r = call("OpenSession", module->functions().C_OpenSession, slot, flags, nullptr, nullptr, &handle); !r)
    return std::unexpected(r.error());
  return Session(module, handle, slot);
}
}  // namespace

Pkcs11Result<Session> open_ro_session(const ModulePtr& module, CK_SLOT_ID slot) {
  return open_session(module, slot, CKF_SERIAL_SESSION);
}

Pkcs11Result<Session> open_rw_session(const ModulePtr& module, CK_SLOT_ID slot) {
  return open_session(module, slot, CKF_SERIAL_SESSION | CKF_RW_SESSION);
}

Pkcs11Result<Session> open_signing_session(const ModulePtr& module, CK_SLOT_ID slot) {
  auto session = open_rw_session(module, slot);
  if (!session && session.error().answered(CKR_TOKEN_WRITE_PROTECTED)) return open_ro_session(module, slot);
  return session;
}

Pkcs11Result<void> sign_init_for(const Session& session, CK_MECHANISM& mechanism, CK_OBJECT_HANDLE key,
                                 std::span<const std::uint8_t> data) {
  ModuleHost* host = session.module().host();
  if (host == nullptr) return call("SignInit", session.functions().C_SignInit, session.handle(), &mechanism, key);
  auto length = to_ck_ulong(data.size());
  if (!length) return std::unexpected(length.error());
  return call("SignInit", sign_init_ahead, host, session.handle(), &mechanism, key,
              const_cast<std::uint8_t*>(data.data()), *length);
}

}  // namespace p11agent
