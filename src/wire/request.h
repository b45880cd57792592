#pragma once
// The request record and its parser.
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "system/secure_memory.h"

namespace p11agent {

struct Request {
  std::string cmd;
  std::optional<std::string> module;
  std::optional<std::string> thumbprint;
  std::optional<std::string> hash_hex;
  std::optional<platform::WipedString> pin;  // wiped when the request goes
  // Object form only. The site the browser extension says the request comes from, and
  // whether a request without a PIN asks the agent to prompt the user for it.
  std::optional<std::string> origin = std::nullopt;
  bool pin_prompt = false;
  // Object form only. Whether a listing describes each certificate, and the filter of the
  // certificates a listing or a choice takes (its JSON text, an object).
  bool details = false;
  std::optional<std::string> filter = std::nullopt;
  // Object form only. How a signature is made: the algorithm, the hash whose digest
  // hash_hex holds, the signature's encoding.
  std::optional<std::string> algorithm = std::nullopt;
  std::optional<std::string> hash = std::nullopt;
  std::optional<std::string> signature_format = std::nullopt;
  // Object form only. What the page (or application) says a signature is for, shown to the
  // user in the prompt as its words; `description_not_text` when it was another JSON value.
  std::optional<std::string> description = std::nullopt;
  bool description_not_text = false;
  // Object form only. The site's challenge that an authentication signs, bound to its origin.
  std::optional<std::string> challenge_nonce = std::nullopt;
};

// Whether the request carries a PIN (a present, non-empty `pin`).
bool carries_pin(const Request& request);

// Whether the agent asks the user for the request's PIN: the request carries none, and it
// comes from a browser (`from_browser`) or asks for the prompt with `pin_prompt`.
bool prompts_for_pin(const Request& request, bool from_browser);

// Parses one request (object or array form) from text whose surrounding white space is
// already removed. The error is the parser's message with its " at line L column C".
std::expected<Request, std::string> parse_request(std::string_view text);

}  // namespace p11agent
