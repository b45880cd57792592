#include "frontend/commands.h"
#include "frontend/encoding.h"
#include "sign/signing.h"
#include "token/token_certs.h"

namespace p11agent {

namespace {
bool missing(const std::optional<std::string>& field) { return !field || field->empty(); }
}  // namespace

CommandResult run_sign(const Request& request) {
  if (missing(request.thumbprint) || missing(request.hash_hex) || missing(request.pin))
    return std::unexpected("sign requires thumbprint, hash_hex and pin");
  auto data = decode_hash_hex(*request.hash_hex);
  if (!data) return std::unexpected("hash_hex must be valid hex: " + data.error());
  std::optional<std::string> module_path = request.module;
  if (!module_path) {
    module_path = find_cert_module(*request.thumbprint);
    if (!module_path) return std::unexpected("certificate not found on any connected token");
  }
  auto output = sign_once(*module_path, *request.pin, *request.thumbprint, *data);
  if (!output) return std::unexpected(output.error());
  return Json{{"cert_der_b64", base64_encode(output->cert_der)}, {"module", *module_path}, {"ok", true},
              {"signature_hex", hex_encode(output->signature)}};
}

}  // namespace p11agent
