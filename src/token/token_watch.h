#pragma once
// Which tokens a module's slots hold, read about once a second while the agent serves, so
// that a token pulled or put in is noticed without a request touching it.
#include <array>
#include <optional>
#include <vector>

#include "pkcs11/host_protocol.h"
#include "token/module.h"
#include "token/slot.h"

namespace p11agent {

// A token as the watch tells it from another: its slot, and its label and serial number
// exactly as C_GetTokenInfo gave them (another card in the same reader differs in them).
struct PresentToken {
  CK_SLOT_ID slot = 0;
  std::array<CK_UTF8CHAR, 32> label{};
  std::array<CK_CHAR, 16> serial{};
  bool operator==(const PresentToken&) const = default;
};
using PresentTokens = std::vector<PresentToken>;

// The tokens in the module's slots now, in the module's order. A slot whose token went
// between the two calls is left out; any other failure is the watch's (nothing is known).
Pkcs11Result<PresentTokens> read_present_tokens(const Pkcs11Module& module);

// The watch's question: the tokens present, or nullopt when they are those of this
// module's last answer (a module in a host answers so in one message; one loaded here
// answers the whole list each time).
Pkcs11Result<std::optional<PresentTokens>> present_tokens_if_changed(const Pkcs11Module& module);

// The host's answer to the watch: the list, after the value and the "changed" flag.
void write_present_tokens(host_protocol::Writer& w, const PresentTokens& tokens);

// The label and serial as certificate listings show them.
TokenIdentity listing_identity(const PresentToken& token);

}  // namespace p11agent
