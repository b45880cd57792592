#include "wire/request_checks.h"

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

std::expected<std::string_view, std::string> check_find_cert_request(const Request& request) {
  if (missing(request.thumbprint)) return std::unexpected("find_cert requires thumbprint");
  return *request.thumbprint;
}

}  // namespace p11agent
