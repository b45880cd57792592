#pragma once
// The daemon's state, and making a certificate usable on a held, logged-in session.
#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "sign/signing.h"

namespace p11agent {

using PinDigest = std::array<std::uint8_t, 32>;

// Where a certificate's key is, on its module's held session.
struct CachedLogin {
  std::string module_path;
  Bytes cert_der;
  CK_MECHANISM_TYPE mechanism;
  CK_OBJECT_HANDLE key_handle;
};

// The daemon's single state record; owned by the request loop, never shared. Lives here
// because the held-session road of signing works on it.
struct DaemonState {
  std::unordered_map<std::string, ModulePtr> module_table;
  std::unordered_map<std::string, Session> held_sessions;
  std::unordered_map<std::string, CK_SLOT_ID> session_slots;
  std::vector<std::string> candidate_paths;
  std::unordered_map<std::string, CachedLogin> cached_logins;  // by lower-case thumbprint
  std::unordered_map<std::string, PinDigest> pin_digests;      // SHA-256 of the PIN, never the PIN
};

PinDigest pin_digest(std::string_view pin);

// Logs out and closes the module's held session and forgets everything held for it.
void drop_module_login(DaemonState& state, const std::string& module_path);

// Finds the certificate (thumbprint already lower-cased) on the loaded modules, holds a
// logged-in read-write session on its slot, and finds its key and mechanism.
std::expected<CachedLogin, std::string> prepare_held_login(DaemonState& state, const std::string& thumbprint,
                                                           std::string_view pin);

}  // namespace p11agent
