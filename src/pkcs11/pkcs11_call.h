#pragma once
// The choke point: every call into a module's function list goes through here.
#include <string_view>

#include "pkcs11/pkcs11_error.h"

namespace p11agent {

// Calls an entry point and hands back its raw return value, for the few callers that
// treat some values other than CKR_OK as answers (CKR_BUFFER_TOO_SMALL, ...).
template <typename Function, typename... Args>
Pkcs11Result<CK_RV> call_rv(Function entry, Args... args) {
  if (entry == nullptr) return std::unexpected(Pkcs11Error::of(Pkcs11Error::Kind::NullFunction));
  const CK_RV rv = entry(args...);
  // A module host that did not answer, or died: no value of the module's.
  if (auto failure = Pkcs11Error::of_host(rv)) return std::unexpected(*failure);
  return rv;
}

// Calls an entry point; anything but CKR_OK is an error naming it ("Login", not "C_Login").
template <typename Function, typename... Args>
Pkcs11Result<void> call(std::string_view name, Function entry, Args... args) {
  auto rv = call_rv(entry, args...);
  if (!rv) return std::unexpected(rv.error());
  if (*rv != CKR_OK) return std::unexpected(Pkcs11Error::returned(name, *rv));
  return {};
}

}  // namespace p11agent
