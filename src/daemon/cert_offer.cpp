#include "daemon/cert_offer.h"

#include <algorithm>
#include <iterator>

#include "token/token_certs.h"

namespace p11agent {

std::vector<TokenCert> loaded_certs(DaemonState& state, WithMechanisms with) {
  std::vector<TokenCert> certs;
  for (const auto& [path, module] : state.module_table) {
    auto listed = list_module_certs(module, path);
    if (!listed) continue;
    if (with == WithMechanisms::Yes)
      for (TokenCert& cert : *listed) cert.mechanisms = mechanisms_of(state, *module, cert.slot);
    std::ranges::move(*listed, std::back_inserter(certs));
  }
  return certs;
}

namespace {

std::vector<Candidate> offered(DaemonState& state, const CertFilter& filter) {
  std::vector<Candidate> candidates = passing_certs(loaded_certs(state, WithMechanisms::Yes), filter);
  if (!filter.purpose) signing_first(candidates);
  return candidates;
}

}  // namespace

std::expected<Candidate, std::string> user_picks(DaemonState& state, std::string_view site, const CertFilter& filter,
                                                 WhenOne when_one) {
  if (auto digest = check_thumbprint_digest(); !digest) return std::unexpected(digest.error());
  std::vector<Candidate> candidates = offered(state, filter);
  std::unique_ptr<platform::CertPicker> picker;
  // A site never learns that nothing passes without its user seeing it, and the user may
  // insert the token meanwhile; an application on this computer is answered at once.
  while (candidates.empty() && state.browser) {
    if (!picker) picker = state.open_cert_picker();
    if (auto again = offer_try_again(*picker, site); !again) return std::unexpected(again.error());
    reload_ended_modules(state);
    candidates = offered(state, filter);
  }
  if (candidates.size() == 1 && when_one == WhenOne::Take) return std::move(candidates.front());
  if (!picker) picker = state.open_cert_picker();
  auto chosen = choose_certificate(*picker, site, candidates, now_utc());
  if (!chosen) return std::unexpected(chosen.error());
  return std::move(candidates[*chosen]);
}

}  // namespace p11agent
