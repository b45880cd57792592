#pragma once
// The checks of request members that both modes make, with their texts.
#include <expected>
#include <string>
#include <string_view>

#include "text/encoding.h"
#include "wire/request.h"

namespace p11agent {

// A sign request's members, present and non-empty, and the bytes to sign.
struct SignFields {
  std::string_view thumbprint;  // as the caller wrote it
  std::string_view pin;         // empty when the user enters it in the prompt
  Bytes data;
};

// Whether the request must carry the PIN, or the user enters it in the agent's prompt.
enum class PinFrom { Request, Prompt };

std::expected<SignFields, std::string> check_sign_request(const Request& request, PinFrom pin_from = PinFrom::Request);

// The origin a request names, where it names one: a web origin, "scheme://host[:port]",
// with https, http for a loopback host only, or a browser extension's scheme (no port).
// Anything else could write its own text into the prompt that names it.
std::expected<void, std::string> check_origin(const Request& request);

// The most a description may hold, in bytes of UTF-8: a sentence or a few, never a document.
inline constexpr std::size_t MAX_DESCRIPTION_BYTES = 4096;

// A request's description, where it has one: text of at most MAX_DESCRIPTION_BYTES.
std::expected<void, std::string> check_description(const Request& request);

// An authentication's members: the site's origin in its serialized form (lower-case scheme
// and host, a non-ASCII host in Punycode, the port only where it is not the scheme's
// default) and its challenge nonce, as the text it is.
struct LoginFields {
  std::string origin;
  std::string nonce;
};
std::expected<LoginFields, std::string> check_login_request(const Request& request);

// The thumbprint a find_cert request asks for, present and non-empty.
std::expected<std::string_view, std::string> check_find_cert_request(const Request& request);

}  // namespace p11agent
