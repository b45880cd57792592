#include <optional>

#include "oneshot/commands.h"
#include "desktop/cert_picker.h"
#include "system/module_file.h"
#include "sign/cert_choice.h"
#include "sign/cert_details.h"
#include "text/encoding.h"
#include "text/utf8.h"
#include "token/certificate.h"
#include "token/messages.h"
#include "token/module_host.h"
#include "token/module.h"
#include "token/token_certs.h"
#include "wire/request_checks.h"
#include "wire/response.h"

namespace p11agent {

namespace {

// The certificate object of a listing.
Json cert_object(const TokenCert& cert) {
  return Json{{"der_b64", base64_encode(cert.der)}, {"has_private_key", cert.has_private_key},
              {"module", cert.module_path},         {"thumbprint", cert.thumbprint},
              {"token_label", cert.token_label},    {"token_serial", cert.token_serial}};
}

// The report lines of one slot.
std::expected<std::string, std::string> enumerate_slot(const ModulePtr& module, CK_SLOT_ID slot, ReadBudget& budget) {
  std::string report;
  if (auto identity = read_token_label_serial(*module, slot))
    report += "  token: label='" + identity->label + "' serial='" + identity->serial + "'\n";
  auto session = open_ro_session(module, slot);
  if (!session) return std::unexpected(step::OPEN_RO_SESSION + session.error().text());
  auto handles = find_objects(*session, certificate_template());
  if (!handles) return std::unexpected(step::FIND_CERTS + handles.error().text());
  report += "  certificates: " + std::to_string(handles->size()) + "\n";
  for (CK_OBJECT_HANDLE handle : *handles) {
    auto attributes = get_attributes(*session, handle, VALUE_ONLY, budget);
    if (!attributes) return std::unexpected(step::GET_CERT_VALUE + attributes.error().text());
    if (const Bytes* der = attributes->find(CKA_VALUE)) {
      auto thumbprint = thumbprint_of(*der);
      if (!thumbprint) return std::unexpected(THUMBPRINT_DIGEST_FAILED);
      report += "    cert SHA1=" + *thumbprint + " der_len=" + std::to_string(der->size()) + "\n";
    }
  }
  return report;
}

std::expected<std::string, std::string> enumerate_report(const std::string& path) {
  auto opened = open_module_slots(path);
  // The system's loader says nothing a user can act on for a module of another machine; a
  // path that is no file was refused before any load, in those words already.
  if (!opened) {
    const auto file = platform::find_module_file(path);
    const bool said = !file || file->unloadable.empty() || file->machine.machine == platform::Machine::NotAFile;
    return std::unexpected(opened.error() + (said ? "" : " (" + file->unloadable + ")"));
  }
  std::string report = "module=" + path + " slots_with_token=" + std::to_string(opened->slots.size()) + "\n";
  ReadBudget budget;
  for (CK_SLOT_ID slot : opened->slots) {
    auto lines = enumerate_slot(opened->module, slot, budget);
    if (!lines) return std::unexpected(lines.error());
    report += *lines;
  }
  return report;
}

// The certificates of the request's module, or of every known one; a module that cannot
// be listed contributes nothing.
std::vector<TokenCert> requested_certs(const Request& request, WithMechanisms with = WithMechanisms::No) {
  std::vector<TokenCert> certs;
  for (const std::string& path : request.module ? std::vector{*request.module} : default_modules())
    if (auto listed = list_token_certs(path, with)) std::ranges::move(*listed, std::back_inserter(certs));
  return certs;
}

struct LocatedCert {
  std::string module;
  std::string cert_serial;
  std::string token_serial;
  CK_SLOT_ID slot;
  std::vector<std::string> algorithms;  // read where the request asks for details
};

// The find_cert walk: only modules whose file exists, loaded without the directory rule.
std::expected<LocatedCert, std::string> locate_for_find_cert(std::string_view thumbprint, bool details) {
  const std::string lowered = ascii_lowercase(thumbprint);
  FirstModuleFailure failed;
  for (const std::string& path : default_modules()) {
    if (!platform::find_module_file(path)) continue;
    auto module = load_module(path);
    if (!module || !initialize_module(**module)) continue;
    std::string token_serial;
    TokenMechanisms mechanisms;
    // The token's information is read before the search's session is closed.
    auto search = find_cert_on_module(*module, lowered, VALUE_ONLY, [&](CK_SLOT_ID slot) {
      token_serial = white_space_trimmed_serial(**module, slot);
      if (details) mechanisms = read_mechanisms(**module, slot);
    });
    if (search.match)
      return LocatedCert{path, cert_serial_hex(search.match->der), token_serial, search.match->slot,
                         details ? offered_algorithms(cert_key_facts(search.match->der), mechanisms)
                                 : std::vector<std::string>{}};
    failed.keep(std::move(search.failure), path);
  }
  return std::unexpected(failed.not_found_text());
}

}  // namespace

CommandResult run_enumerate(const Request& request) {
  auto report = enumerate_report(request.module.value_or(default_enumerate_module()));
  if (!report) return std::unexpected(report.error());
  return render_json(Json{{"ok", true}, {"text", *report}});
}

CommandResult run_list_certs(const Request& request) {
  auto filter = parse_cert_filter(request.filter, now_utc());
  if (!filter) return std::unexpected(filter.error());
  // The named module's host loads it while the digests are made ready.
  if (request.module) load_module_ahead(*request.module);
  // Listing goes on past a module that fails; a digest that fails would drop every certificate.
  if (auto digest = check_thumbprint_digest(); !digest) return std::unexpected(digest.error());
  Json certs = Json::array();
  if (!request.details && !request.filter) {
    for (const TokenCert& cert : requested_certs(request)) certs.push_back(cert_object(cert));
  } else {
    const WithMechanisms with = request.details ? WithMechanisms::Yes : WithMechanisms::No;
    for (const Candidate& candidate : passing_certs(requested_certs(request, with), *filter)) {
      Json entry = cert_object(candidate.cert);
      if (request.details) entry.update(details_members(candidate.cert, candidate.details));
      certs.push_back(std::move(entry));
    }
  }
  return render_json(Json{{"certs", std::move(certs)}, {"ok", true}});
}

CommandResult run_choose_cert(const Request& request) {
  auto filter = parse_cert_filter(request.filter, now_utc());
  if (!filter) return std::unexpected(filter.error());
  // A certificate whose key is not on the token cannot sign: offered only when asked for.
  if (!filter->has_private_key) filter->has_private_key = true;
  if (auto digest = check_thumbprint_digest(); !digest) return std::unexpected(digest.error());
  const std::vector<Candidate> candidates = passing_certs(requested_certs(request, WithMechanisms::Yes), *filter);
  auto chosen = choose_certificate(*platform::system_cert_picker(), "", candidates, now_utc());
  if (!chosen) return std::unexpected(chosen.error());
  return render_json(chosen_cert_answer(candidates[*chosen]));
}

CommandResult run_find_cert(const Request& request) {
  auto thumbprint = check_find_cert_request(request);
  if (!thumbprint) return std::unexpected(thumbprint.error());
  if (auto digest = check_thumbprint_digest(); !digest) return std::unexpected(digest.error());
  if (auto fault = missing_host_text()) return std::unexpected(*fault);
  auto located = locate_for_find_cert(*thumbprint, request.details);
  if (!located) return std::unexpected(located.error());
  Json answer{{"cert_serial", located->cert_serial}, {"module", located->module}, {"ok", true},
              {"slot", located->slot}, {"token_serial", located->token_serial}};
  if (request.details) answer["algorithms"] = located->algorithms;
  return render_json(answer);
}

}  // namespace p11agent
