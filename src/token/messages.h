#pragma once
// Texts that more than one command answers with: whole messages, and the prefixes that
// name the step that failed in front of the step's own error text.
namespace p11agent {

inline constexpr const char* CERT_NOT_FOUND = "certificate not found on any connected token";
inline constexpr const char* THUMBPRINT_DIGEST_FAILED =
    "cannot compute certificate thumbprints: the system's SHA-1 routine failed";
inline constexpr const char* PIN_DIGEST_FAILED = "cannot compute the PIN's digest: the system's SHA-256 routine failed";

namespace step {
inline constexpr const char* LOAD = "load ";
inline constexpr const char* INITIALIZE = "C_Initialize: ";
inline constexpr const char* SLOTS_WITH_TOKEN = "get_slots_with_token: ";
inline constexpr const char* OPEN_RO_SESSION = "open_ro_session: ";
inline constexpr const char* OPEN_RW_SESSION = "open_rw_session: ";
inline constexpr const char* FIND_CERTS = "find certs: ";
inline constexpr const char* GET_CERT_VALUE = "get cert value: ";
inline constexpr const char* GET_CERT_ATTRS = "get cert attrs: ";
inline constexpr const char* LOGIN = "C_Login: ";
inline constexpr const char* FIND_KEY = "find key: ";
inline constexpr const char* GET_KEY_TYPE = "get key type: ";
inline constexpr const char* SIGN = "C_Sign: ";
}  // namespace step

}  // namespace p11agent
