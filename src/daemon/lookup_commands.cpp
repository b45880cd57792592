#include "daemon/commands.h"
#include "daemon/cert_offer.h"
#include "sign/cert_choice.h"
#include "sign/cert_details.h"
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

namespace {

// A listing with details or a filter: each entry as without them, with the details added
// when asked for.
std::string list_with_details(DaemonState& state, const Request& request, const SiteView& view) {
  auto filter = parse_cert_filter(request.filter, now_utc());
  if (!filter) return error_response_text(filter.error());
  if (auto digest = check_thumbprint_digest(); !digest) return error_response_text(digest.error());
  Json certs = Json::array();
  // A filter alone needs no mechanisms: only the details name what a key can make.
  const WithMechanisms with = request.details ? WithMechanisms::Yes : WithMechanisms::No;
  for (const Candidate& candidate : passing_certs(loaded_certs(state, with), *filter)) {
    if (!view.sees(candidate.cert.thumbprint)) continue;
    Json entry{{"module", candidate.cert.module_path}, {"thumbprint", candidate.cert.thumbprint},
               {"token_serial", candidate.cert.token_serial}};
    if (request.details) entry.update(details_members(candidate.cert, candidate.details));
    certs.push_back(std::move(entry));
  }
  return render_json(Json{{"certs", std::move(certs)}, {"ok", true}});
}

}  // namespace

std::string handle_list_certs(DaemonState& state, const Request& request, const SiteView& view) {
  if (request.details || request.filter) return list_with_details(state, request, view);
  Json certs = Json::array();
  bool digest_failed = false;
  for (const auto& [path, module] : state.module_table) {
    std::string token_serial;
    for_each_certificate(module, {VALUE_ONLY,
                                  [&](CK_SLOT_ID slot) { token_serial = white_space_trimmed_serial(*module, slot); },
                                  [&](CK_SLOT_ID, const Attributes& attributes) {
                                    auto thumbprint = thumbprint_of(*attributes.find(CKA_VALUE));
                                    digest_failed = !thumbprint;
                                    if (thumbprint && view.sees(*thumbprint))
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
      Json answer{{"cert_serial", cert_serial_hex(match.der)}, {"module", path}, {"ok", true},
                  {"slot", match.slot}, {"token_serial", white_space_trimmed_serial(*module, match.slot)}};
      if (request.details)
        answer["algorithms"] = offered_algorithms(cert_key_facts(match.der), mechanisms_of(state, *module, match.slot));
      return {render_json(answer), {}};
    }
    return {error_response_text(failed.not_found_text()), failed.module_to_restart()};
  });
}

std::string handle_choose_cert(DaemonState& state, const Request& request) {
  auto filter = parse_cert_filter(request.filter, now_utc());
  if (!filter) return error_response_text(filter.error());
  // A certificate whose key is not on the token cannot sign: offered only when asked for.
  if (!filter->has_private_key) filter->has_private_key = true;
  auto candidate = user_picks(state, prompt_site(state, request), *filter, WhenOne::Ask);
  if (!candidate) return error_response_text(candidate.error());
  state.chosen_certs[request.origin.value_or("")].insert_or_assign(candidate->cert.thumbprint,
                                                                   TokenKey{candidate->cert.module_path, candidate->cert.slot});
  return render_json(chosen_cert_answer(*candidate));
}

}  // namespace p11agent
