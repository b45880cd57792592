#include "oneshot/commands.h"
#include "desktop/pin_dialog.h"
#include "sign/signing.h"
#include "token/certificate.h"
#include "token/messages.h"
#include "token/module_host.h"
#include "token/module.h"
#include "token/token_certs.h"
#include "wire/request_checks.h"
#include "wire/response.h"

namespace p11agent {

CommandResult run_sign(const Request& request) {
  const bool prompting = prompts_for_pin(request, false);
  auto fields = check_sign_request(request, prompting ? PinFrom::Prompt : PinFrom::Request);
  if (!fields) return std::unexpected(fields.error());
  // What the caller says it signs is read only where the prompt shows it.
  if (auto description = check_description(request); prompting && !description)
    return std::unexpected(description.error());
  auto scheme = parse_signature_scheme(request.algorithm, request.hash, request.signature_format, fields->data.size());
  if (!scheme) return std::unexpected(scheme.error());
  // The named module's host loads it while the digests are made ready: each takes as long.
  if (request.module) load_module_ahead(*request.module);
  if (auto digest = check_thumbprint_digest(); !digest) return std::unexpected(digest.error());
  if (auto fault = missing_host_text()) return std::unexpected(*fault);
  std::optional<CertLocation> located;
  if (!request.module) {
    auto found = find_cert_module(fields->thumbprint);
    if (!found) return std::unexpected(found.error());
    located = *found;
  }
  const std::string& module_path = located ? located->module_path : *request.module;
  std::unique_ptr<platform::PinDialog> dialog;
  if (prompting) dialog = platform::system_pin_dialog();
  PromptFacts facts;
  if (prompting) facts.description = request.description.value_or("");
  auto output = sign_once(module_path, PinSource{fields->pin, dialog.get(), facts}, fields->thumbprint, fields->data,
                          located ? std::optional(located->slot) : std::nullopt, *scheme);
  if (!output) return std::unexpected(output.error());
  return sign_answer(sign_answer_head(output->cert_der, module_path), output->signature);
}

}  // namespace p11agent
