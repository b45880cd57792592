#pragma once
// The smallest client of a PKCS#11 module, for baselines: no checks beyond what a plain
// program needs, no attribute probes, no recovery. The measurements compare the agent
// with it to tell the agent's own cost from the module's.
#include <string>
#include <vector>

#include "pkcs11/cryptoki.h"

namespace bench {

// A loaded and initialised module; finalised and unloaded when it goes.
class BareModule {
 public:
  explicit BareModule(const std::string& path);
  ~BareModule();
  BareModule(const BareModule&) = delete;
  BareModule& operator=(const BareModule&) = delete;
  CK_FUNCTION_LIST_PTR operator->() const { return functions_; }

  // The first slot whose token is initialised (SoftHSM2 always adds an empty one).
  CK_SLOT_ID first_initialised_slot() const;
  // A session on `slot` (read-only unless `flags` say otherwise), logged in when `pin` is
  // not empty.
  CK_SESSION_HANDLE open_session(CK_SLOT_ID slot, const std::string& pin = "",
                                 CK_FLAGS flags = CKF_SERIAL_SESSION) const;
  std::vector<CK_OBJECT_HANDLE> find(CK_SESSION_HANDLE session, std::vector<CK_ATTRIBUTE> query) const;
  // The values of `types` on `object`, read with one length query and one read.
  std::vector<std::vector<CK_BYTE>> values(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                           const std::vector<CK_ATTRIBUTE_TYPE>& types) const;

 private:
  void* library_;
  CK_FUNCTION_LIST_PTR functions_ = nullptr;
};

// Prints `what` and ends the program: a baseline that fails measures nothing.
[[noreturn]] void fail(const char* what);

}  // namespace bench
