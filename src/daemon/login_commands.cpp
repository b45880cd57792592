#include "daemon/commands.h"
#include "daemon/cert_offer.h"
#include "daemon/held_login.h"
#include "daemon/slot_watch.h"
#include "system/module_file.h"
#include "sign/cert_details.h"
#include "sign/login.h"
#include "sign/pin_prompt.h"
#include "sign/signing.h"
#include "sign/web_login.h"
#include "text/utf8.h"
#include "token/certificate.h"
#include "token/messages.h"
#include "wire/request_checks.h"
#include "wire/response.h"

namespace p11agent {

namespace {

constexpr int SIGN_ATTEMPTS = 2;

std::string text_of(const std::optional<std::string>& field) { return field.value_or(std::string()); }

// Known modules that are not loaded but whose file is there now (the loader leaves out
// those still loading).
std::vector<std::string> missing_module_paths(const DaemonState& state) {
  std::vector<std::string> missing;
  for (const std::string& path : state.candidate_paths)
    if (!state.module_table.contains(path) && platform::find_module_file(path)) missing.push_back(path);
  return missing;
}

bool refill_module_table(DaemonState& state) {
  ModuleTable loaded = state.loader.load(missing_module_paths(state), REFILL_DEADLINE);
  for (auto& [path, module] : loaded) state.module_table.insert_or_assign(path, std::move(module));
  return !loaded.empty();
}

// The token's held login when it was made this request's way, which the request's site
// then holds too (its logout ends it for that site); nullptr otherwise.
const TokenLogin* login_shared_so(DaemonState& state, const TokenKey& token, const LoginWay& way) {
  auto held = state.token_logins.find(token);
  if (held == state.token_logins.end() || !login_made_so(held->second, way)) return nullptr;
  held->second.sites.insert(way.source.facts.site);
  return &held->second;
}

// prepare_held_login, with one refill of the known modules that were missing when the
// certificate is not found; stores the result under the (lower-case) thumbprint. The
// search compares thumbprints, so it needs them computable.
std::expected<void, HeldLoginError> ensure_cached_login(DaemonState& state, const std::string& thumbprint,
                                                        LoginWay& way, const SignatureScheme& scheme = {}) {
  if (auto ready = check_thumbprint_digest(); !ready)
    return std::unexpected(HeldLoginError{HeldLoginError::Kind::Failed, ready.error(), {}});
  auto login = prepare_held_login(state, thumbprint, way, scheme);
  if (!login && login.error().kind == HeldLoginError::Kind::CertNotFound && refill_module_table(state))
    login = prepare_held_login(state, thumbprint, way, scheme);
  if (!login) return std::unexpected(std::move(login.error()));
  state.cached_logins.insert_or_assign(thumbprint, std::move(*login));
  return {};
}

Outcome validate_once(DaemonState& state, const std::string& thumbprint, LoginWay& way) {
  // Cached only while the login is held, and the module says the token is still logged in
  // on it: a card pulled and put back keeps no login, whatever the agent holds.
  if (auto cached = state.cached_logins.find(thumbprint); cached != state.cached_logins.end()) {
    const TokenKey token = cached->second.token;  // a copy: forgetting the login erases the record
    const TokenLogin* held = login_shared_so(state, token, way);
    if (held && held->session) {
      if (session_logged_in(*held->session)) {
        // Only the user keeps a login alive: a caller that validates leaves its time as it was.
        return {render_json(Json{{"cached", true}, {"ok", true}}), {}};
      }
      // The login is gone: it starts over on a new session, the PIN sent to the token once.
      forget_token_login(state, token, LogoutFirst::No);
    }
  }
  if (auto login = ensure_cached_login(state, thumbprint, way); !login)
    return {error_response_text(login.error().text), login.error().lost_module};
  return {render_json(Json{{"ok", true}}), {}};
}

// The PIN for a signature's own login (a key that asks for it each time): the request's,
// or the one the user entered in this request, else asked for once (kept in `asked`) on a
// screen that names the certificate. Entered on the reader's keypad, `keypad` is the screen
// to show while the reader takes it.
std::expected<LoginPin, std::string> operation_pin(const LoginWay& way, const CachedLogin& record,
                                                   const Session& session, PromptedPin& asked,
                                                   std::optional<platform::PinScreen>& keypad) {
  if (way.source.dialog == nullptr) return way.source.pin;
  PromptFacts facts = way.source.facts;
  facts.cert = record.names;
  if (way.entered) {
    if (!*way.entered) keypad = keypad_screen(facts, session);
    return login_pin_of(*way.entered);
  }
  auto pin = ask_operation_pin(*way.source.dialog, facts, session);
  if (!pin) return std::unexpected(std::move(pin.error()));
  asked = std::move(pin->pin);
  keypad = std::move(pin->keypad);
  return login_pin_of(asked);
}

KeyRule key_rule(const KeyUse& use) {
  return use.always_authenticate ? KeyRule::PinEachSignature : KeyRule::PinOnceALogin;
}

// The answer to a signature made: sign's, or an authentication's token.
using RenderSigned = std::function<std::expected<std::string, std::string>(const CachedLogin&, const Bytes&)>;

std::expected<std::string, std::string> sign_answer_of(const CachedLogin& record, const Bytes& signature) {
  return sign_answer(record.answer_head, signature);
}

Outcome sign_once_held(DaemonState& state, const std::string& thumbprint, const SignFields& fields, LoginWay& way,
                       const SignatureScheme& scheme, const RenderSigned& render = sign_answer_of) {
  std::string last_error;
  std::string lost_module;
  for (int attempt = 0; attempt < SIGN_ATTEMPTS; ++attempt) {
    if (!state.cached_logins.contains(thumbprint)) {
      way.before_login = consent_step(way.consent, pin_came(way), LoginAt::New, KeyRule::Unknown);
      if (auto login = ensure_cached_login(state, thumbprint, way, scheme); !login)
        return {error_response_text(login.error().text), lost_module.empty() ? login.error().lost_module : lost_module};
    }
    const CachedLogin& record = state.cached_logins.at(thumbprint);
    auto held = state.token_logins.find(record.token);
    if (held == state.token_logins.end() || !held->second.session) {
      state.cached_logins.erase(thumbprint);
      continue;
    }
    const Session& session = *held->second.session;
    // A named signature is planned from what is kept: no call is made for it.
    std::optional<SignPlan> plan;
    if (scheme.named()) {
      auto planned =
          plan_for_key(scheme, record.key, record.key_use, mechanisms_of(state, session.module(), session.slot()));
      if (!planned) return {error_response_text(planned.error()), lost_module};
      plan = std::move(*planned);
    }
    const ConsentStep step = consent_step(way.consent, pin_came(way), LoginAt::Held, key_rule(record.key_use));
    if (step == ConsentStep::Confirm)
      if (auto confirmed = confirm_signature_once(state, way, record.names, record.token, session); !confirmed)
        return {error_response_text(confirmed.error()), lost_module};
    if (step == ConsentStep::Prompt && !record.key_use.always_authenticate) {
      // The login held from before is not this signature's: it ends, and the user types the
      // PIN for a new one. Not a failed attempt: the new login is made in the prompt, after
      // which the PIN has come and no prompt is asked again.
      forget_token_login(state, record.token, LogoutFirst::Yes);
      --attempt;
      continue;
    }
    PromptedPin asked;
    LoginPin pin;
    std::optional<platform::PinScreen> keypad;
    if (record.key_use.always_authenticate) {
      close_prompt_without_token(state, way.source.dialog, record.token);
      auto chosen = operation_pin(way, record, session, asked, keypad);
      if (!chosen) return {error_response_text(chosen.error()), lost_module};
      pin = *chosen;
    }
    const OperationPrompt prompt{way.source.dialog, keypad ? &*keypad : nullptr};
    auto signature = plan ? sign_planned(session, record.key_use, record.key_handle, fields.data, pin, prompt, *plan)
                          : sign_data(session, record.key_use, record.key_handle, fields.data, pin, prompt);
    if (signature) {
      mark_login_used(state, record.token);
      auto answer = render(record, *signature);
      return {answer ? std::move(*answer) : error_response_text(answer.error()), {}};
    }
    const Pkcs11Error& error = signature.error().error;
    last_error = sign_error_text(signature.error(), held_pin_tries_left, session, plan ? &*plan : nullptr);
    // A rerun logs in again with the PIN the token accepted, unless the failure was in the
    // login for this signature: the PIN is not sent twice in one request, and a module that
    // lost its state there gets a fresh host before the next request instead.
    if (is_module_state_lost(error)) {
      if (!signature.error().at_operation_login)
        lost_module = record.token.module_path;
      else
        restart_module_if_token_lost(state, session.module(), session.slot());
    }
    // The session is closed, and with it any operation left begun. The token may have been
    // pulled: the next attempt starts on a new one, unless the token refused the PIN for
    // this signature, which is not tried twice, or the module did not answer in time,
    // which it is not given twice in one request.
    const bool pin_refused = signature.error().at_operation_login && !is_session_lost(error);
    const bool no_answer = error.kind == Pkcs11Error::Kind::NoAnswer;
    // A named algorithm the module refuses is refused again on a new session.
    const bool algorithm_refused = plan && error.kind == Pkcs11Error::Kind::ReturnValue && is_algorithm_refusal(error.rv);
    held->second.session.reset();
    state.cached_logins.erase(thumbprint);
    if (pin_refused || no_answer || algorithm_refused) break;
  }
  return {error_response_text(last_error), lost_module};
}

// How the request logs in: with its PIN (and the PIN's digest), or through the prompt,
// opened into `dialog`, which names `site`.
std::expected<LoginWay, std::string> login_way(DaemonState& state, const Request& request, PromptAsks asks,
                                               bool prompting, std::string site,
                                               std::unique_ptr<platform::PinDialog>& dialog) {
  LoginWay way;
  way.consent = state.policy.consent;
  way.source.facts.site = std::move(site);
  way.source.facts.asks = asks;
  if (prompting) {
    dialog = state.open_pin_dialog();
    way.source.dialog = dialog.get();
    return way;
  }
  way.source.pin = *request.pin;
  const auto digest = pin_digest(way.source.pin);
  if (!digest) return std::unexpected(PIN_DIGEST_FAILED);
  way.digest = *digest;
  return way;
}

// Where the request's signature is confirmed: the prompt's dialog, or one opened for it;
// none where its consent asks nothing.
void confirm_in(DaemonState& state, LoginWay& way, std::unique_ptr<platform::PinDialog>& dialog) {
  if (way.consent == SignatureConsent::None) return;
  if (!dialog) dialog = state.open_pin_dialog();
  way.confirmation = dialog.get();
}

// A login made another way (another PIN, or the prompt for another site) is not this caller's.
void forget_login_not_shared(DaemonState& state, const std::string& thumbprint, const LoginWay& way) {
  if (auto cached = state.cached_logins.find(thumbprint); cached != state.cached_logins.end()) {
    const TokenKey token = cached->second.token;
    if (!login_shared_so(state, token, way)) forget_token_login(state, token, LogoutFirst::No);
  }
}

constexpr const char* LOGIN_PIN_FROM_SITE = "invalid request: a site may not send the PIN to log in";

}  // namespace

std::string handle_validate(DaemonState& state, const Request& request) {
  const std::string thumbprint = ascii_lowercase(text_of(request.thumbprint));
  const bool prompting = prompts_for_pin(request, state.browser);
  if (thumbprint.empty() || (!prompting && !carries_pin(request)))
    return error_response_text(prompting ? "validate requires thumbprint" : "validate requires thumbprint and pin");
  std::unique_ptr<platform::PinDialog> dialog;
  auto way = login_way(state, request, PromptAsks::Unlock, prompting, prompt_site(state, request), dialog);
  if (!way) return error_response_text(way.error());
  return with_one_restart(state, [&] { return validate_once(state, thumbprint, *way); });
}

std::string handle_sign(DaemonState& state, const Request& request) {
  const bool prompting = prompts_for_pin(request, state.browser);
  auto fields = check_sign_request(request, prompting ? PinFrom::Prompt : PinFrom::Request);
  if (!fields) return error_response_text(fields.error());
  // What the asker says it signs is read where the user may be shown it.
  const bool confirming = state.policy.consent != SignatureConsent::None;
  const bool shows_description = state.browser || prompting || confirming;
  if (auto description = check_description(request); shows_description && !description)
    return error_response_text(description.error());
  auto scheme = parse_signature_scheme(request.algorithm, request.hash, request.signature_format, fields->data.size());
  if (!scheme) return error_response_text(scheme.error());
  const std::string thumbprint = ascii_lowercase(fields->thumbprint);
  std::unique_ptr<platform::PinDialog> dialog;
  auto way = login_way(state, request, PromptAsks::Signature, prompting, prompt_site(state, request), dialog);
  if (!way) return error_response_text(way.error());
  if (shows_description) way->source.facts.description = request.description.value_or("");
  confirm_in(state, *way, dialog);
  forget_login_not_shared(state, thumbprint, *way);
  return with_one_restart(state, [&] { return sign_once_held(state, thumbprint, *fields, *way, *scheme); });
}

// The user logs in to the site: picks a certificate fit for it (one alone is named in the
// prompt), and consents in the agent's own dialog (the PIN prompt, or the confirmation on a
// login held already) whatever the deployer chose for signatures. The choice is not one for
// signing: the site may list or use nothing more for it.
std::string handle_authenticate(DaemonState& state, const Request& request) {
  auto login = check_login_request(request);
  if (!login) return error_response_text(login.error());
  if (state.browser && carries_pin(request)) return error_response_text(LOGIN_PIN_FROM_SITE);
  CertFilter filter;
  filter.has_private_key = true;
  filter.purpose = Purpose::Authentication;
  filter.valid_at = now_utc();
  auto candidate = user_picks(state, login->origin, filter, WhenOne::Take);
  if (!candidate) return error_response_text(candidate.error());
  auto algorithm = login_algorithm(candidate->details.facts);
  if (!algorithm) return error_response_text(algorithm.error());
  auto digest = login_digest(*algorithm, login->origin, login->nonce);
  if (!digest) return error_response_text(LOGIN_DIGEST_FAILED);
  const std::string thumbprint = candidate->cert.thumbprint;
  const SignFields fields{thumbprint, "", std::move(*digest)};
  std::unique_ptr<platform::PinDialog> dialog;
  auto way = login_way(state, request, PromptAsks::Login, !carries_pin(request), login->origin, dialog);
  if (!way) return error_response_text(way.error());
  way->consent = SignatureConsent::Each;
  way->source.facts.cert = cert_names(candidate->cert.der);
  confirm_in(state, *way, dialog);
  forget_login_not_shared(state, thumbprint, *way);
  const RenderSigned token = [&](const CachedLogin&, const Bytes& signature) -> std::expected<std::string, std::string> {
    if (!login_signature_fits(*algorithm, signature)) return std::unexpected(LOGIN_SIGNATURE_MISFIT);
    return render_json(Json{{"auth_token", auth_token(candidate->cert.der, *algorithm, signature)}, {"ok", true}});
  };
  return with_one_restart(state, [&] {
    return sign_once_held(state, thumbprint, fields, *way, login_scheme(*algorithm), token);
  });
}

// A site ends only its own logins (an application, which names no site, every one): others'
// are not its to end, nor to count.
std::string handle_logout(DaemonState& state, const Request& request) {
  const std::string thumbprint = ascii_lowercase(text_of(request.thumbprint));
  std::vector<TokenKey> targets;
  if (thumbprint.empty()) {
    for (const auto& [token, login] : state.token_logins)
      if (login.session) targets.push_back(token);
  } else if (auto cached = state.cached_logins.find(thumbprint); cached != state.cached_logins.end()) {
    targets.push_back(cached->second.token);
  }
  std::size_t closed = 0;
  for (const TokenKey& token : targets) {
    if (!state.browser) {
      forget_token_login(state, token, LogoutFirst::Yes);
      ++closed;
    } else if (end_site_login(state, token, prompt_site(state, request))) {
      ++closed;
    }
  }
  return render_json(Json{{"closed", closed}, {"ok", true}});
}

}  // namespace p11agent
