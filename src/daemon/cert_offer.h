#pragma once
// The certificates the loaded modules offer, and the user's pick among them in the picker.
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "daemon/daemon_state.h"
#include "sign/cert_choice.h"

namespace p11agent {

// Every certificate on the loaded modules, with its token's mechanisms where asked (read
// once per token); a module that cannot be listed contributes none.
std::vector<TokenCert> loaded_certs(DaemonState& state, WithMechanisms with);

// Whether a single certificate that passes is shown in the picker (a choice a site keeps)
// or taken as it is (and named in the prompt that follows).
enum class WhenOne { Ask, Take };

// The certificate the user picks among those that pass the filter, in the picker that names
// `site`; a request that names no purpose sees signing certificates first. Where none
// passes, a browser's user is told so and may insert the token and try again; an
// application is answered at once. The error is the request's answer text.
std::expected<Candidate, std::string> user_picks(DaemonState& state, std::string_view site, const CertFilter& filter,
                                                 WhenOne when_one);

}  // namespace p11agent
