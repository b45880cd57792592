#include "pkcs11/pkcs11_error.h"

#include <limits>

#include "system/library.h"
#include "pkcs11/host_protocol.h"

namespace p11agent {

std::string Pkcs11Error::text() const {
  switch (kind) {
    case Kind::LoadFailed:
      return std::string("libloading error (") + platform::LOADER_CALL_NAME + " failed)";
    case Kind::LoadFailedUnreported:
      return std::string("libloading error (") + platform::LOADER_CALL_NAME +
             " failed, but system did not report the error)";
    case Kind::NoFunctionListExport:
      return "libloading error (the library does not export C_GetFunctionList)";
    case Kind::ReturnValue:
      return "Function::" + std::string(function) + ": PKCS11 error: " + describe_rv(rv);
    case Kind::NullFunction:
      return "Calling a NULL function pointer";
    case Kind::IntegerConversion:
      return "Conversion between integers failed (out of range integral type conversion attempted)";
    case Kind::SliceConversion:
      return "Error converting slice to array (could not convert slice to array)";
    case Kind::AlreadyInitialized:
      return "PKCS11 library has already been initialized";
    case Kind::BoundExceeded:
      return "Function::" + std::string(function) + ": the module's answers do not end within the agent's limits";
    case Kind::NoAnswer:
      return "the module did not answer within " + std::to_string(rv) + " s";
    case Kind::HostEnded:
      return "the module ended unexpectedly";
    case Kind::HostNotStarted:
      return "the module's host process could not be started";
    case Kind::HostOtherVersion:
      return "the module's host is another build of p11agent (its messages are version " + std::to_string(rv) +
             ", this agent's " + std::to_string(host_protocol::VERSION) + "): restart the agent";
    case Kind::Host32Missing:
      return "the module is 32-bit and p11agent's 32-bit module host (p11agent-host32.exe, beside p11agent.exe) is "
             "missing: reinstall p11agent";
    case Kind::HostMissing:
      return "p11agent's module host (p11agent-host, beside p11agent) is missing: reinstall p11agent";
    case Kind::NotAFile:
      return "not a regular file (a FIFO, a device or a folder): not a module";
  }
  return {};
}

namespace {
constexpr CK_RV HOST_RV_KIND = 0xFFFF0000UL;
}  // namespace

std::optional<Pkcs11Error> Pkcs11Error::of_host(CK_RV rv) {
  if ((rv & HOST_RV_KIND) == HOST_NO_ANSWER_RV) return Pkcs11Error{Kind::NoAnswer, rv & ~HOST_RV_KIND, {}};
  if ((rv & HOST_RV_KIND) == HOST_ENDED_RV) return of(Kind::HostEnded);
  return std::nullopt;
}

bool is_module_state_lost(const Pkcs11Error& error) {
  if (error.kind == Pkcs11Error::Kind::HostEnded) return true;
  return error.answered(CKR_GENERAL_ERROR) || error.answered(CKR_DEVICE_ERROR) ||
         error.answered(CKR_FUNCTION_FAILED) || error.answered(CKR_CRYPTOKI_NOT_INITIALIZED);
}

bool is_session_lost(const Pkcs11Error& error) {
  if (error.kind != Pkcs11Error::Kind::ReturnValue) return false;
  switch (error.rv) {
    case CKR_SESSION_HANDLE_INVALID:
    case CKR_SESSION_CLOSED:
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_DEVICE_REMOVED:
    case CKR_TOKEN_NOT_RECOGNIZED:
      return true;
    default:
      return false;
  }
}

Pkcs11Result<CK_ULONG> to_ck_ulong(std::size_t length) {
  if (length > std::numeric_limits<CK_ULONG>::max())
    return std::unexpected(Pkcs11Error::of(Pkcs11Error::Kind::IntegerConversion));
  return static_cast<CK_ULONG>(length);
}

}  // namespace p11agent
