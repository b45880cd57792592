#include "daemon/cert_gate.h"

#include "sign/cert_choice.h"
#include "text/utf8.h"
#include "token/messages.h"
#include "wire/response.h"

namespace p11agent {

namespace {

bool uses_cert(const Request& request) { return request.cmd == "validate" || request.cmd == "sign"; }
bool looks_up(const Request& request) { return request.cmd == "list_certs" || request.cmd == "find_cert"; }

// What the request's site chose, as its view; a site that chose nothing sees nothing.
SiteView site_view(const DaemonState& state, const Request& request) {
  static const std::map<std::string, TokenKey, std::less<>> nothing;
  if (state.cert_access == CertAccess::All) return {};
  auto chosen = state.chosen_certs.find(request.origin.value_or(""));
  return {chosen == state.chosen_certs.end() ? &nothing : &chosen->second};
}

CertGate gate_for(const DaemonState& state, const Request& request, const SiteView& view) {
  if (state.cert_access == CertAccess::All) return CertGate::Open;
  if (looks_up(request) && state.cert_access == CertAccess::ChoiceRequired) return CertGate::ChoiceRequired;
  if (request.cmd == "list_certs")
    // A site whose user chose nothing for it learns nothing, and no token is asked.
    return view.chosen->empty() ? CertGate::Unseen : CertGate::Open;
  const bool named = uses_cert(request) || request.cmd == "find_cert" || request.cmd == "logout";
  if (!named || !request.thumbprint) return CertGate::Open;
  // Without a thumbprint, a lookup is refused and a logout ends every login of the site's.
  if (!uses_cert(request) && request.thumbprint->empty()) return CertGate::Open;
  if (view.sees(ascii_lowercase(*request.thumbprint))) return CertGate::Open;
  // One not chosen for the site is used by nothing, and looked up or logged out of as one
  // on no token: nothing tells the two apart.
  return uses_cert(request) ? CertGate::ChoiceRequired : CertGate::Unseen;
}

}  // namespace

GateAnswer cert_gate(const DaemonState& state, const Request& request) {
  const SiteView view = site_view(state, request);
  return {gate_for(state, request, view), view};
}

std::string cert_gate_answer(CertGate gate, const Request& request) {
  if (gate == CertGate::ChoiceRequired) return error_response_text(CERT_CHOICE_REQUIRED);
  if (request.cmd == "list_certs") return render_json(Json{{"certs", Json::array()}, {"ok", true}});
  if (request.cmd == "logout") return render_json(Json{{"closed", 0}, {"ok", true}});
  return error_response_text(CERT_NOT_FOUND);
}

}  // namespace p11agent
