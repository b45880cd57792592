#pragma once
// A host name as the web writes it in an origin: every label that is not ASCII in its
// Punycode form ("xn--…", RFC 3492), as browsers send origins and server libraries are
// configured with them.
#include <optional>
#include <string>
#include <string_view>

namespace p11agent {

// The host with ASCII letters lower-cased and each label that holds other characters
// encoded as "xn--" and its Punycode; nullopt for text that is not valid UTF-8 or a label
// that cannot be encoded. Letters beyond ASCII are taken as written (no Unicode case
// mapping).
std::optional<std::string> ascii_host(std::string_view host);

}  // namespace p11agent
