#include "daemon/held_login.h"
#include "daemon/slot_watch.h"

#include <algorithm>

#include "sign/cert_details.h"
#include "sign/login.h"
#include "sign/pin_prompt.h"
#include "token/certificate.h"
#include "sign/signing.h"
#include "token/messages.h"
#include "token/slot.h"
#include "token/token_certs.h"
#include "wire/response.h"

namespace p11agent {

namespace {

// The held session of the token in the slot, opened when none is held. nullptr when the
// slot has lost its token or no session opens: the search then goes on elsewhere.
const Session* hold_session(DaemonState& state, const ModulePtr& module, CK_SLOT_ID slot) {
  const TokenKey token{module->path(), slot};
  if (auto held = state.token_logins.find(token); held != state.token_logins.end() && held->second.session)
    return &*held->second.session;
  auto slots = slots_with_token(*module);
  if (!slots || std::find(slots->begin(), slots->end(), slot) == slots->end()) return nullptr;
  auto session = open_signing_session(module, slot);
  if (!session) return nullptr;
  TokenLogin& login = state.token_logins[token];
  login.session = std::move(*session);
  return &*login.session;
}

// The prompt's logins: each PIN the user enters is tried as a request's PIN would be; the
// last failure's account of the token (lost session, lost state, refused PIN) stands,
// with the prompt's own answer when the user gave up.
std::expected<void, HeldLoginFailure> log_in_held_through_prompt(const Session& session, const CertMatch& cert,
                                                            LoginWay& way) {
  PromptFacts facts = way.source.facts;
  facts.cert = cert_names(cert.der);
  std::optional<HeldLoginFailure> last;
  auto entered = log_in_through_prompt(*way.source.dialog, facts, session, [&](LoginPin pin)
                                       -> std::expected<void, LoginRefusal> {
    auto login = login_held_session(session, pin, false);
    if (login) return {};
    last = login.error();
    return std::unexpected(last->refusal);
  });
  if (entered) {
    way.entered = std::move(*entered);
    return {};
  }
  HeldLoginFailure failure = last.value_or(HeldLoginFailure{});
  failure.refusal.message = std::move(entered.error());
  return std::unexpected(std::move(failure));
}

std::expected<CachedLogin, HeldLoginFailure> log_in_and_prepare_key(DaemonState& state, const Session& session,
                                                                    const CertMatch& cert, LoginWay& way, bool named) {
  if (cert.id.empty()) return std::unexpected(HeldLoginFailure{{"cert has no CKA_ID"}});
  const std::string& path = session.module().path();
  const TokenKey token{path, session.slot()};
  TokenLogin& held = state.token_logins.at(token);
  if (way.source.dialog != nullptr) {
    close_prompt_without_token(state, way.source.dialog, token);
    // The user unlocked the token for this site already: another of its certificates is
    // not asked for again while the token is still logged in.
    const bool unlocked = login_made_so(held, way) && session_logged_in(session);
    if (auto login = unlocked ? std::expected<void, HeldLoginFailure>() : log_in_held_through_prompt(session, cert, way);
        !login)
      return std::unexpected(login.error());
    if (!unlocked) held.last_used = std::chrono::steady_clock::now();
    held.pin_digest.reset();
    held.prompted_site = way.source.facts.site;
  } else {
    // A declined confirmation costs no PIN try: the token has seen nothing of the request.
    if (way.before_login == ConsentStep::Confirm)
      if (auto confirmed = confirm_signature_once(state, way, cert_names(cert.der), token, session); !confirmed)
        return std::unexpected(HeldLoginFailure{{std::move(confirmed.error())}});
    const bool accepted_before = held.pin_digest && same_digest(*held.pin_digest, way.digest);
    if (auto login = login_held_session(session, way.source.pin, accepted_before); !login)
      return std::unexpected(login.error());
    // The PIN checked against the login held with it keeps that login's time as it was.
    if (!accepted_before) held.last_used = std::chrono::steady_clock::now();
    held.pin_digest = way.digest;
    held.prompted_site.reset();
  }
  held.sites.insert(way.source.facts.site);
  auto key = find_private_key(session, cert.id);
  if (!key) return std::unexpected(HeldLoginFailure{{key.error()}});
  auto use = choose_mechanism(session, *key, named);
  if (!use) return std::unexpected(HeldLoginFailure{{use.error()}});
  return CachedLogin{token, *use, *key, sign_answer_head(cert.der, path), cert_names(cert.der), cert_key_facts(cert.der)};
}

// A failed login or key preparation: the PIN is not sent again within the request, so no
// failure here asks for a rerun. A refused PIN has logged the token out; a module that lost
// its state gets a fresh host before the next request.
HeldLoginError failed_login(DaemonState& state, const Pkcs11Module& module, CK_SLOT_ID slot,
                            HeldLoginFailure&& failure) {
  if (failure.refusal.tries_left) forget_token_login(state, {module.path(), slot}, LogoutFirst::No);
  if (failure.device_failed) restart_module_if_token_lost(state, module, slot);
  return HeldLoginError{HeldLoginError::Kind::Failed, std::move(failure.refusal.message), {}};
}

}  // namespace

std::expected<void, std::string> confirm_signature_once(DaemonState& state, LoginWay& way, const CertNames& names,
                                                        const TokenKey& token, const Session& session) {
  if (way.confirmed) return {};
  if (way.confirmation == nullptr) return std::unexpected(SIGNATURE_UNCONFIRMED);
  PromptFacts facts = way.source.facts;
  facts.cert = names;
  close_prompt_without_token(state, way.confirmation, token);
  if (auto confirmed = confirm_signature(*way.confirmation, facts, session); !confirmed) return confirmed;
  way.confirmed = true;
  mark_login_used(state, token);
  return {};
}

bool login_made_so(const TokenLogin& held, const LoginWay& way) {
  if (way.source.dialog != nullptr) return held.prompted_site == way.source.facts.site;
  return held.pin_digest && same_digest(*held.pin_digest, way.digest);
}

std::expected<CachedLogin, HeldLoginError> prepare_held_login(DaemonState& state, const std::string& thumbprint,
                                                              LoginWay& way, const SignatureScheme& scheme) {
  // A snapshot: the loop below may not change the table, but the modules stay held.
  std::vector<ModulePtr> modules;
  for (const auto& [path, module] : state.module_table) modules.push_back(module);
  FirstModuleFailure failed;
  for (const ModulePtr& module : modules) {
    auto search = find_cert_on_module(module, thumbprint, VALUE_AND_ID);
    if (!search.match) {
      failed.keep(std::move(search.failure), module->path());
      continue;
    }
    const CertMatch& cert = *search.match;
    if (scheme.named())
      if (auto plan = plan_signature(scheme, cert_key_facts(cert.der), mechanisms_of(state, *module, cert.slot)); !plan)
        return std::unexpected(HeldLoginError{HeldLoginError::Kind::Failed, std::move(plan.error()), {}});
    for (int attempt = 0;; ++attempt) {
      const Session* session = hold_session(state, module, cert.slot);
      if (session == nullptr) break;
      auto login = log_in_and_prepare_key(state, *session, cert, way, scheme.named());
      if (login) return std::move(*login);
      if (!login.error().session_lost || attempt > 0)
        return std::unexpected(failed_login(state, *module, cert.slot, std::move(login.error())));
      // Pulled and put back, or closed under us: what was held for the module is gone.
      forget_token_login(state, {module->path(), cert.slot}, LogoutFirst::No);
    }
  }
  return std::unexpected(
      HeldLoginError{HeldLoginError::Kind::CertNotFound, failed.not_found_text(), failed.module_to_restart()});
}

}  // namespace p11agent
