#pragma once
// The commands that log in once and sign many times: validate, sign, logout.
#include <string>

#include "frontend/request.h"
#include "sign/held_login.h"

namespace p11agent {

// prepare_held_login, with one refill of the known modules that were missing when the
// certificate is not found; stores the result under the (lower-case) thumbprint.
std::expected<void, std::string> ensure_cached_login(DaemonState& state, const std::string& thumbprint,
                                                     std::string_view pin);

std::string handle_validate(DaemonState& state, const Request& request);
std::string handle_sign(DaemonState& state, const Request& request);
std::string handle_logout(DaemonState& state, const Request& request);

}  // namespace p11agent
