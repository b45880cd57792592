#include "daemon/commands.h"
#include "token/certificate.h"
#include "token/messages.h"
#include "token/token_certs.h"
#include "text/utf8.h"
#include "wire/request_checks.h"
#include "wire/response.h"

namespace p11agent {

std::string handle_ping(DaemonState& state, const Request&) {
  return render_json(Json{{"modules", state.module_table.size()}, {"ok", true}});
}

std::string handle_list_certs(DaemonState& state, const Request&) {
  Json certs = Json::array();
  bool digest_failed = false;
  for (const auto& [path, module] : state.module_table) {
    std::string token_serial;
    for_each_certificate(module, {VALUE_ONLY,
                                  [&](CK_SLOT_ID slot) { token_serial = white_space_trimmed_serial(*module, slot); },
                                  [&](CK_SLOT_ID, const Attributes& attributes) {
                                    auto thumbprint = thumbprint_of(*attributes.find(CKA_VALUE));
                                    digest_failed = !thumbprint;
                                    if (thumbprint)
                                      certs.push_back(Json{{"module", path}, {"thumbprint", *thumbprint},
                                                           {"token_serial", token_serial}});
                                    return digest_failed;
                                  }});
    if (digest_failed) return error_response_text(THUMBPRINT_DIGEST_FAILED);
  }
  return render_json(Json{{"certs", std::move(certs)}, {"ok", true}});
}

std::string handle_find_cert(DaemonState& state, const Request& request) {
  auto thumbprint = check_find_cert_request(request);
  if (!thumbprint) return error_response_text(thumbprint.error());
  if (auto digest = check_thumbprint_digest(); !digest) return error_response_text(digest.error());
  const std::string wanted = ascii_lowercase(*thumbprint);
  return with_one_restart(state, [&]() -> Outcome {
    FirstModuleFailure failed;
    for (const auto& [path, module] : state.module_table) {
      auto search = find_cert_on_module(module, wanted);
      if (!search.match) {
        failed.keep(std::move(search.failure), path);
        continue;
      }
      const CertMatch& match = *search.match;
      return {render_json(Json{{"cert_serial", cert_serial_hex(match.der)}, {"module", path}, {"ok", true},
                               {"slot", match.slot}, {"token_serial", white_space_trimmed_serial(*module, match.slot)}}),
              {}};
    }
    return {error_response_text(failed.not_found_text()), failed.module_to_restart()};
  });
}

}  // namespace p11agent
