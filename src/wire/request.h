#pragma once
// The request record and its parser.
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "platform/secure_memory.h"

namespace p11agent {

struct Request {
  std::string cmd;
  std::optional<std::string> module;
  std::optional<std::string> thumbprint;
  std::optional<std::string> hash_hex;
  std::optional<platform::WipedString> pin;  // wiped when the request goes
};

// Parses one request (object or array form) from text whose surrounding white space is
// already removed. The error is the parser's message with its " at line L column C".
std::expected<Request, std::string> parse_request(std::string_view text);

}  // namespace p11agent
