#pragma once
// Making a certificate usable on a held, logged-in session.
#include <expected>
#include <string>
#include <string_view>

#include "daemon/daemon_state.h"

namespace p11agent {

struct HeldLoginError {
  enum class Kind {
    CertNotFound,  // no loaded module shows the certificate (the text names a module's
                   // failure on the way, if there was one)
    Failed,        // found, but the login or the key preparation failed
  };
  Kind kind;
  std::string text;
  std::string lost_module;  // the module to start afresh for a rerun of the request; empty if none
};

// Finds the certificate (thumbprint already lower-cased) on the loaded modules, holds a
// logged-in read-write session on its slot, and finds its key and mechanism. A held
// session that the module no longer knows is dropped, and the login tried once more on a
// new one. A PIN the user enters in the prompt is kept in `way` for the rest of the request.
// A scheme that names what to make is checked against the certificate's key and its token's
// mechanisms before the login (a refusal is Failed, with the answer's text).
std::expected<CachedLogin, HeldLoginError> prepare_held_login(DaemonState& state, const std::string& thumbprint,
                                                              LoginWay& way, const SignatureScheme& scheme = {});

// The user's confirmation of this request's signature, asked once a request on a screen
// that names the site, the certificate, the token and the asker's words. Success once the
// user pressed Sign; it restarts the login's idle time. Without a confirmation dialog
// nothing is signed.
std::expected<void, std::string> confirm_signature_once(DaemonState& state, LoginWay& way, const CertNames& names,
                                                        const TokenKey& token, const Session& session);

// Whether the token's held login was made this request's way: with the same PIN, or in the
// prompt for the same site.
bool login_made_so(const TokenLogin& held, const LoginWay& way);

}  // namespace p11agent
