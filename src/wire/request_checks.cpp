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
  if (pin_from == PinFrom::Prompt && (missing(request.thumbprint) || missing(request.hash_hex)))
    return std::unexpected("sign requires thumbprint and hash_hex");
  if (pin_from == PinFrom::Request && (missing(request.thumbprint) || missing(request.hash_hex) || missing(request.pin)))
    return std::unexpected("sign requires thumbprint, hash_hex and pin");
  auto data = decode_hash_hex(*request.hash_hex);
  if (!data) return std::unexpected("hash_hex must be valid hex: " + data.error());
  return SignFields{*request.thumbprint, pin_from == PinFrom::Request ? std::string_view(*request.pin) : "",
                    std::move(*data)};
}

std::expected<std::string_view, std::string> check_find_cert_request(const Request& request) {
  if (missing(request.thumbprint)) return std::unexpected("find_cert requires thumbprint");
  return *request.thumbprint;
}

}  // namespace p11agent
