#pragma once
// Slots with a token, and what a token says about itself.
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "token/module.h"

namespace p11agent {

// Slots holding a token, in the module's order.
Pkcs11Result<std::vector<CK_SLOT_ID>> slots_with_token(const Pkcs11Module& module);

// A module opened for a command, with its slots that hold a token.
struct OpenedModule {
  ModulePtr module;
  std::vector<CK_SLOT_ID> slots;
};

// open_module, then slots_with_token; the error names the step that failed.
std::expected<OpenedModule, std::string> open_module_slots(const std::string& path);

// The token's label and serial number, decoded and without trailing spaces.
struct TokenIdentity {
  std::string label;
  std::string serial;
};

// C_GetTokenInfo as a whole; nullopt when it fails.
std::optional<CK_TOKEN_INFO> read_token_info(const Pkcs11Module& module, CK_SLOT_ID slot);

// The same from token information already read.
std::optional<TokenIdentity> identity_of(const CK_TOKEN_INFO& info);

// Label and serial as UTF-8 with trailing spaces removed; nullopt when the token
// information is unreadable (also when a clock token's time is not a time).
std::optional<TokenIdentity> read_token_label_serial(const Pkcs11Module& module, CK_SLOT_ID slot);

// The identity used in certificate listings: also stripped of spaces and control
// characters at both ends.
std::optional<TokenIdentity> token_identity(const Pkcs11Module& module, CK_SLOT_ID slot);
std::optional<TokenIdentity> listing_identity_of(const CK_TOKEN_INFO& info);

// The serial as find_cert reports it: trimmed of Unicode white space; "" when unreadable.
std::string white_space_trimmed_serial(const Pkcs11Module& module, CK_SLOT_ID slot);

}  // namespace p11agent
