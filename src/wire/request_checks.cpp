#include "wire/request_checks.h"

#include <algorithm>

#include "text/punycode.h"
#include "text/utf8.h"
#include "wire/hash_hex.h"

namespace p11agent {

namespace {
template <typename Text>
bool missing(const std::optional<Text>& field) {
  return !field || field->empty();
}
}  // namespace

std::expected<SignFields, std::string> check_sign_request(const Request& request, PinFrom pin_from) {
  const bool needs_pin = pin_from == PinFrom::Request;
  if (missing(request.thumbprint) || missing(request.hash_hex) || (needs_pin && missing(request.pin)))
    return std::unexpected(needs_pin ? "sign requires thumbprint, hash_hex and pin" : "sign requires thumbprint and hash_hex");
  auto data = decode_hash_hex(*request.hash_hex);
  if (!data) return std::unexpected("hash_hex must be valid hex: " + data.error());
  return SignFields{*request.thumbprint, needs_pin ? std::string_view(*request.pin) : "",
                    std::move(*data)};
}

std::expected<void, std::string> check_description(const Request& request) {
  if (request.description_not_text || (request.description && request.description->size() > MAX_DESCRIPTION_BYTES))
    return std::unexpected("invalid request: description must be text of at most " +
                           std::to_string(MAX_DESCRIPTION_BYTES) + " bytes");
  return {};
}

namespace {

constexpr const char* NOT_AN_ORIGIN =
    "origin must be a web origin, scheme://host[:port], with https, http for a loopback host, or a browser "
    "extension's scheme";
constexpr std::size_t MAX_HOST = 253;  // DNS
constexpr std::size_t MAX_LABEL = 63;
constexpr std::string_view EXTENSION_SCHEMES[] = {"chrome-extension", "moz-extension", "safari-web-extension"};

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// A DNS name or IPv4 address: labels of letters, digits and '-', none empty.
bool is_host_name(std::string_view host) {
  if (host.empty() || host.size() > MAX_HOST) return false;
  std::size_t label = 0;
  for (char c : host) {
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
    } else if (is_letter(c) || is_digit(c) || c == '-') {
      if (++label > MAX_LABEL) return false;
    } else {
      return false;
    }
  }
  return label != 0;
}

// "[...]" with hex digits, ':' and '.' between the brackets.
bool is_bracketed_ip6(std::string_view host) {
  if (host.size() < 4 || host.front() != '[' || host.back() != ']') return false;
  for (char c : host.substr(1, host.size() - 2))
    if (!is_digit(c) && !(c >= 'a' && c <= 'f') && !(c >= 'A' && c <= 'F') && c != ':' && c != '.') return false;
  return true;
}

bool is_port(std::string_view port) {
  if (port.empty() || port.size() > 5 || !std::ranges::all_of(port, is_digit)) return false;
  const int value = std::stoi(std::string(port));
  return value >= 1 && value <= 65535;
}

bool is_loopback(std::string_view host) {
  const std::string lowered = ascii_lowercase(host);
  const bool ip4_loopback = lowered.starts_with("127.") && std::ranges::all_of(lowered, [](char c) {
    return is_digit(c) || c == '.';
  });
  return lowered == "localhost" || lowered.ends_with(".localhost") || ip4_loopback || lowered == "[::1]";
}

// "scheme://host[:port]" taken apart (the scheme lower-cased, the port checked if there is
// one); nullopt for text of another shape. What the host may be is the caller's to say.
struct OriginParts {
  std::string scheme;
  std::string_view host;
  std::string_view port;  // "" where none is named
};
std::optional<OriginParts> split_origin(std::string_view origin) {
  const std::size_t separator = origin.find("://");
  if (separator == std::string_view::npos) return std::nullopt;
  OriginParts parts{ascii_lowercase(origin.substr(0, separator)), origin.substr(separator + 3), {}};
  std::string_view& host = parts.host;
  const std::size_t host_end = host.starts_with('[') ? host.find(']') + 1 : host.find(':');
  if (host_end != 0 && host_end < host.size()) {
    if (host[host_end] != ':') return std::nullopt;
    parts.port = host.substr(host_end + 1);
    host = host.substr(0, host_end);
    if (!is_port(parts.port)) return std::nullopt;
  }
  return parts;
}

bool is_web_origin(std::string_view origin) {
  const auto parts = split_origin(origin);
  if (!parts || (!is_host_name(parts->host) && !is_bracketed_ip6(parts->host))) return false;
  if (parts->scheme == "https") return true;
  if (parts->scheme == "http") return is_loopback(parts->host);
  return parts->port.empty() && std::ranges::find(EXTENSION_SCHEMES, parts->scheme) != std::end(EXTENSION_SCHEMES);
}

}  // namespace

std::expected<void, std::string> check_origin(const Request& request) {
  // An authentication checks its origin more strictly, with a text of its own.
  if (request.cmd == "authenticate") return {};
  if (request.origin && !is_web_origin(*request.origin)) return std::unexpected(NOT_AN_ORIGIN);
  return {};
}

namespace {

constexpr const char* NOT_A_LOGIN_ORIGIN = "invalid request: authenticate needs an https origin";
constexpr const char* NOT_A_NONCE = "invalid request: challenge_nonce must be 44 to 128 Base64 characters";
constexpr std::size_t MIN_NONCE = 44;
constexpr std::size_t MAX_NONCE = 128;

bool is_nonce_character(char c) {
  return is_letter(c) || is_digit(c) || c == '+' || c == '/' || c == '=' || c == '-' || c == '_';
}

// "https://host[:port]", or http for localhost and 127.0.0.1, in the serialized form; nullopt
// for anything else.
std::optional<std::string> serialized_login_origin(std::string_view origin) {
  const auto parts = split_origin(origin);
  if (!parts) return std::nullopt;
  const auto host = ascii_host(parts->host);
  if (!host || (!is_host_name(*host) && !is_bracketed_ip6(*host))) return std::nullopt;
  const bool local = *host == "localhost" || *host == "127.0.0.1";
  if (parts->scheme != "https" && !(parts->scheme == "http" && local)) return std::nullopt;
  std::string text = parts->scheme + "://" + *host;
  const int port = parts->port.empty() ? 0 : std::stoi(std::string(parts->port));
  if (port != 0 && port != (parts->scheme == "https" ? 443 : 80)) text += ":" + std::to_string(port);
  return text;
}

}  // namespace

std::expected<LoginFields, std::string> check_login_request(const Request& request) {
  const auto origin = request.origin ? serialized_login_origin(*request.origin) : std::nullopt;
  if (!origin) return std::unexpected(NOT_A_LOGIN_ORIGIN);
  if (!request.challenge_nonce) return std::unexpected(NOT_A_NONCE);
  const std::string& nonce = *request.challenge_nonce;
  if (nonce.size() < MIN_NONCE || nonce.size() > MAX_NONCE || !std::ranges::all_of(nonce, is_nonce_character))
    return std::unexpected(NOT_A_NONCE);
  return LoginFields{*origin, nonce};
}

std::expected<std::string_view, std::string> check_find_cert_request(const Request& request) {
  if (missing(request.thumbprint)) return std::unexpected("find_cert requires thumbprint");
  return *request.thumbprint;
}

}  // namespace p11agent
