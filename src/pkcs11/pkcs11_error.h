#pragma once
// The error of one PKCS#11 step, rendered as one line of text.
#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "pkcs11/cryptoki.h"

namespace p11agent {

struct Pkcs11Error {
  enum class Kind {
    LoadFailed,            // the system loader failed and gave an error code
    LoadFailedUnreported,  // the system loader failed without an error code
    NoFunctionListExport,  // the library is not a PKCS#11 module
    ReturnValue,           // an entry point answered other than CKR_OK
    NullFunction,          // the module left the entry point out of its list
    IntegerConversion,     // a length does not fit the module's CK_ULONG
    SliceConversion,       // a fixed-size attribute came back with another size
    AlreadyInitialized,    // this loaded module was initialised before
    BoundExceeded,         // the module's answers would never let a walk end
    NoAnswer,              // the module's host did not answer in time (rv: the bound, in seconds)
    HostEnded,             // the module's host ended (crashed, killed) before it answered
    HostNotStarted,        // no host could be started for the module
    HostOtherVersion,      // the host speaks another version of the messages (rv: its version)
    Host32Missing,         // the module is 32-bit and the 32-bit host is not installed
    HostMissing,           // the module host is not installed
    NotAFile,              // the path names a FIFO, a device or a folder, which is never opened
  };

  Kind kind;
  CK_RV rv = 0;
  std::string_view function;  // entry point without "C_", for ReturnValue and BoundExceeded

  static Pkcs11Error of(Kind kind) { return {kind, 0, {}}; }
  static Pkcs11Error returned(std::string_view function, CK_RV rv) {
    return {Kind::ReturnValue, rv, function};
  }
  // The error a module host's stand-in entry answered with, if `rv` is one.
  static std::optional<Pkcs11Error> of_host(CK_RV rv);
  static Pkcs11Error bound_exceeded(std::string_view function) { return {Kind::BoundExceeded, 0, function}; }

  // The entry point answered exactly this return value.
  bool answered(CK_RV value) const { return kind == Kind::ReturnValue && rv == value; }

  std::string text() const;
};

template <typename T>
using Pkcs11Result = std::expected<T, Pkcs11Error>;

// The module no longer knows the session it was handed: it was closed, or its token was
// pulled (and perhaps put back).
bool is_session_lost(const Pkcs11Error& error);

// The return values a module host's stand-in entries give when the module gave none:
// vendor values that a host never passes on from a module (it turns them into another
// unknown value, which reads the same). HOST_NO_ANSWER_RV carries the bound in seconds.
inline constexpr CK_RV HOST_NO_ANSWER_RV = CKR_VENDOR_DEFINED | 0x0A110000UL;
inline constexpr CK_RV HOST_ENDED_RV = CKR_VENDOR_DEFINED | 0x0A120000UL;
inline constexpr CK_RV HOST_MASKED_RV = CKR_VENDOR_DEFINED | 0x0A100000UL;

// The module or its device lost its state (a fresh C_Initialize may bring it back).
bool is_module_state_lost(const Pkcs11Error& error);

// The standard's description of a return value; unknown values read as the general error.
std::string describe_rv(CK_RV rv);

// The return value's name ("CKR_PIN_INCORRECT"); an unknown one in hex ("0x8a110000").
std::string rv_name(CK_RV rv);

// A length handed to a module, checked against CK_ULONG (32 bits on Windows).
Pkcs11Result<CK_ULONG> to_ck_ulong(std::size_t length);

}  // namespace p11agent
