#include <optional>

#include "frontend/commands.h"
#include "frontend/encoding.h"
#include "frontend/text.h"
#include "platform/files.h"
#include "token/certificate.h"
#include "token/token_certs.h"

namespace p11agent {

namespace {

// The certificate object of a listing.
Json cert_object(const TokenCert& cert) {
  return Json{{"der_b64", base64_encode(cert.der)}, {"has_private_key", cert.has_private_key},
              {"module", cert.module_path},         {"thumbprint", cert.thumbprint},
              {"token_label", cert.token_label},    {"token_serial", cert.token_serial}};
}

constexpr CK_ATTRIBUTE_TYPE VALUE_ONLY[] = {CKA_VALUE};

// The report lines of one slot.
std::expected<std::string, std::string> enumerate_slot(const ModulePtr& module, CK_SLOT_ID slot) {
  std::string report;
  if (auto identity = read_token_label_serial(*module, slot))
    report += "  token: label='" + identity->label + "' serial='" + identity->serial + "'\n";
  auto session = open_ro_session(module, slot);
  if (!session) return std::unexpected("open_ro_session: " + session.error().text());
  auto handles = find_objects(*session, certificate_template());
  if (!handles) return std::unexpected("find certs: " + handles.error().text());
  report += "  certificates: " + std::to_string(handles->size()) + "\n";
  for (CK_OBJECT_HANDLE handle : *handles) {
    auto attributes = get_attributes(*session, handle, VALUE_ONLY);
    if (!attributes) return std::unexpected("get cert value: " + attributes.error().text());
    if (const Bytes* der = attributes->find(CKA_VALUE))
      report += "    cert SHA1=" + thumbprint_of(*der) + " der_len=" + std::to_string(der->size()) + "\n";
  }
  return report;
}

std::expected<std::string, std::string> enumerate_report(const std::string& path) {
  auto module = open_module(path);
  if (!module) return std::unexpected(module.error());
  auto slots = slots_with_token(**module);
  if (!slots) return std::unexpected("get_slots_with_token: " + slots.error().text());
  std::string report = "module=" + path + " slots_with_token=" + std::to_string(slots->size()) + "\n";
  for (CK_SLOT_ID slot : *slots) {
    auto lines = enumerate_slot(*module, slot);
    if (!lines) return std::unexpected(lines.error());
    report += *lines;
  }
  return report;
}

struct LocatedCert {
  std::string module;
  std::string cert_serial;
  std::string token_serial;
  CK_SLOT_ID slot;
};

// The find_cert walk: only modules whose file exists, loaded without the directory rule.
std::optional<LocatedCert> locate_for_find_cert(std::string_view thumbprint) {
  const std::string lowered = ascii_lowercase(thumbprint);
  for (const std::string& path : DEFAULT_MODULES) {
    if (!platform::file_exists(path)) continue;
    auto module = load_module(path);
    if (!module || !initialize_module(**module)) continue;
    auto match = find_cert_on_module(*module, lowered);
    if (!match) continue;
    auto identity = read_token_label_serial(**module, match->slot);
    std::string token_serial = identity ? std::string(trim_white_space(identity->serial)) : "";
    return LocatedCert{path, cert_serial_hex(match->der), token_serial, match->slot};
  }
  return std::nullopt;
}

}  // namespace

CommandResult run_enumerate(const Request& request) {
  auto report = enumerate_report(request.module.value_or(DEFAULT_ENUMERATE_MODULE));
  if (!report) return std::unexpected(report.error());
  return Json{{"ok", true}, {"text", *report}};
}

CommandResult run_list_certs(const Request& request) {
  Json certs = Json::array();
  auto add_module = [&](const std::string& path) {
    // A module that cannot be listed contributes nothing; the listing still succeeds.
    if (auto listed = list_token_certs(path))
      for (const TokenCert& cert : *listed) certs.push_back(cert_object(cert));
  };
  if (request.module) {
    add_module(*request.module);
  } else {
    for (const std::string& path : DEFAULT_MODULES) add_module(path);
  }
  return Json{{"certs", std::move(certs)}, {"ok", true}};
}

CommandResult run_find_cert(const Request& request) {
  if (!request.thumbprint || request.thumbprint->empty()) return std::unexpected("find_cert requires thumbprint");
  auto located = locate_for_find_cert(*request.thumbprint);
  if (!located) return std::unexpected("certificate not found on any connected token");
  return Json{{"cert_serial", located->cert_serial}, {"module", located->module}, {"ok", true},
              {"slot", located->slot},               {"token_serial", located->token_serial}};
}

}  // namespace p11agent
