#pragma once
// The one gate of what a browser's site may learn of the certificates and use, passed by
// every request before its command runs.
#include <string>

#include "daemon/daemon_state.h"
#include "wire/request.h"

namespace p11agent {

enum class CertGate {
  Open,            // the command runs
  ChoiceRequired,  // refused: the site must have its user choose a certificate first
  Unseen,          // answered as if the certificate (or any) were on no token
};

// Which certificates the request's caller may learn of: every one (an application on this
// computer, or a site where the deployer allows listing), or those its user chose for it.
struct SiteView {
  const std::map<std::string, TokenKey, std::less<>>* chosen = nullptr;  // nullptr: every one
  bool sees(std::string_view thumbprint) const { return chosen == nullptr || chosen->contains(thumbprint); }
};

// The gate's answer: whether the command runs, and what it may show of what it finds.
struct GateAnswer {
  CertGate gate;
  SiteView view;
};
GateAnswer cert_gate(const DaemonState& state, const Request& request);

// The answer of a request the gate stops.
std::string cert_gate_answer(CertGate gate, const Request& request);

}  // namespace p11agent
