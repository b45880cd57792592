#pragma once
// The daemon's commands: each takes a parsed request and gives its answer line (without
// the line end).
#include <string>

#include "daemon/cert_gate.h"
#include "daemon/daemon_state.h"
#include "wire/request.h"

namespace p11agent {

// Answered from the loaded modules, without logging in.
std::string handle_ping(DaemonState& state, const Request& request);
// Lists what the gate's view of the caller's site lets it see.
std::string handle_list_certs(DaemonState& state, const Request& request, const SiteView& view);
std::string handle_find_cert(DaemonState& state, const Request& request);

// The user picks one certificate; a browser's site learns only that one.
std::string handle_choose_cert(DaemonState& state, const Request& request);

// Log in once, then sign many times on the held session.
std::string handle_validate(DaemonState& state, const Request& request);
std::string handle_sign(DaemonState& state, const Request& request);
std::string handle_logout(DaemonState& state, const Request& request);

// Logs the user in to a site: a signature over the site's origin and challenge, as a token
// the site's server checks.
std::string handle_authenticate(DaemonState& state, const Request& request);

}  // namespace p11agent
