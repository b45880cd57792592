#include "oneshot/commands.h"
#include "sign/signing.h"
#include "token/messages.h"
#include "token/token_certs.h"
#include "wire/request_checks.h"
#include "wire/response.h"

namespace p11agent {

CommandResult run_sign(const Request& request) {
  auto fields = check_sign_request(request);
  if (!fields) return std::unexpected(fields.error());
  std::optional<std::string> module_path = request.module;
  if (!module_path) {
    module_path = find_cert_module(fields->thumbprint);
    if (!module_path) return std::unexpected(CERT_NOT_FOUND);
  }
  auto output = sign_once(*module_path, fields->pin, fields->thumbprint, fields->data);
  if (!output) return std::unexpected(output.error());
  return sign_answer(sign_answer_head(output->cert_der, *module_path), output->signature);
}

}  // namespace p11agent
