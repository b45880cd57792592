#include "app/doctor.h"

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "app/host_registration.h"
#include "desktop/cert_picker.h"
#include "settings/settings.h"
#include "system/files.h"
#include "settings/host_places.h"
#include "system/host_process.h"
#include "system/module_file.h"
#include "system/process.h"
#include "text/shown_text.h"
#include "token/module.h"
#include "token/objects.h"
#include "token/session.h"
#include "token/slot.h"

namespace p11agent {

namespace {

constexpr const char* REGISTER_TEXT =
    "run p11agent --register-host --chrome-extension <id> --firefox-extension <id> (with --system for every user)";

std::string plural(std::size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

Check module_check(const ModuleFacts& module, bool registered) {
  const std::string name = "module " + module.path;
  if (!module.present)
    return registered ? Check{name, CheckStatus::Fail,
                              "registered with p11-kit, but the file is missing: reinstall the vendor's module or "
                              "remove its registration"}
                      : Check{name, CheckStatus::Ok, "not installed"};
  if (!module.unloadable.empty()) return {name, CheckStatus::Fail, module.unloadable + " (not loaded)"};
  if (module.host_missing)
    return {name, CheckStatus::Fail, "32-bit; the 32-bit host is missing: reinstall p11agent"};
  const std::string host = module.in_32bit_host ? "32-bit, in the 32-bit host; " : "";
  if (!module.load_error.empty()) return {name, CheckStatus::Fail, host + "does not load: " + module.load_error};
  // A module that fails or hangs reading its slots is no missing token.
  if (!module.token_error.empty()) return {name, CheckStatus::Fail, host + "loads, but " + module.token_error};
  if (module.tokens.empty())
    return {name, CheckStatus::Warn, host + "loads; no token in its slots: insert the token (or its reader)"};
  std::string detail = host + "loads; " + plural(module.tokens.size(), "token", "tokens") + ":";
  for (std::size_t i = 0; i < module.tokens.size(); ++i)
    detail += (i == 0 ? " " : ", ") +
              (module.tokens[i].label.empty() ? std::string("one without a label") : "'" + module.tokens[i].label + "'") +
              " (" + plural(module.tokens[i].certificates, "certificate", "certificates") + ")";
  return {name, CheckStatus::Ok, detail};
}

std::string joined(const std::vector<std::string>& values) {
  std::string text;
  for (const std::string& value : values) text += (text.empty() ? "" : ", ") + value;
  return text;
}

Check registration_check(const RegistrationFacts& place, const std::string& own) {
  const std::string name = "browser registration " + place.manifest;
  if (!place.present) return {name, CheckStatus::Ok, "not registered here"};
  if (!place.parses) return {name, CheckStatus::Fail, "is not a host manifest p11agent wrote: " + std::string(REGISTER_TEXT)};
  if (place.executable != own)
    return {name, CheckStatus::Fail,
            "names " + place.executable + ", not this p11agent (" + own + "): " + std::string(REGISTER_TEXT)};
  if (!place.keys_not_naming_it.empty())
    return {name, CheckStatus::Fail,
            "the browser finds it through " + joined(place.keys_not_naming_it) + ", which does not name it: " +
                std::string(REGISTER_TEXT)};
  if (place.changeable_by_others)
    return {name, CheckStatus::Fail,
            "names this p11agent, but " + *place.changeable_by_others +
                ": another account could replace what the browser starts; install p11agent where only "
                "administrators can change it"};
  // That browser cannot start it; the others may.
  if (place.allowed.empty()) return {name, CheckStatus::Warn, "allows no extension: " + std::string(REGISTER_TEXT)};
  return {name, CheckStatus::Ok, "names this p11agent; allows " + joined(place.allowed)};
}

// A module host beside the agent. Missing, the modules it loads cannot be used (`cannot`);
// the agent's own kind is of the agent's build (`build`), as the agent takes no other.
Check host_check(const std::string& name, const platform::HostExecutable& host, const std::string& cannot,
                 CheckStatus missing_is, std::string_view build) {
  if (!host.present) return {name, missing_is, "missing: " + host.path + ": " + cannot + "; reinstall p11agent"};
  const std::string version = host.version_text();
  if (!build.empty() && host.version != build)
    return {name, CheckStatus::Fail,
            version + ", not this agent's build (" + std::string(build) + "): " + host.path + ": reinstall p11agent"};
  return {name, CheckStatus::Ok, version + ": " + host.path};
}

Check prompt_check(const char* name, const platform::PromptReport& report, const char* missing_is) {
  if (report.problem.empty()) return {name, CheckStatus::Ok, report.program};
  if (report.terminal_only) return {name, CheckStatus::Warn, report.problem};
  return {name, std::string_view(missing_is) == "fail" ? CheckStatus::Fail : CheckStatus::Warn, report.problem};
}

// How the held logins are ended in each mode, and by what the agent learns of a lock here.
std::vector<Check> login_checks(const DoctorFacts& facts) {
  const PolicyReading browser = read_login_policy(true, facts.login_settings);
  const PolicyReading served = read_login_policy(false, facts.login_settings);
  std::vector<Check> checks = {
      {"deployer settings", CheckStatus::Ok,
       std::string("RequirePinPrompt ") + (facts.require_pin_prompt ? "on" : "off") + ", RequireCertChoice " +
           (facts.require_cert_choice ? "on" : "off") + ", AllowCertListing " + (facts.allow_cert_listing ? "on" : "off") +
           "; in the browser host " + policy_text(browser.policy) + "; in serve " + policy_text(served.policy)}};
  // The values are the same for both modes, and so is what is wrong with them.
  for (const std::string& problem : browser.problems) checks.push_back({"deployer settings", CheckStatus::Warn, problem});
  for (const std::string& problem : facts.switch_problems)
    checks.push_back({"deployer settings", CheckStatus::Warn, problem});
  const platform::ScreenLockReport& lock = facts.screen_lock;
  if (!browser.policy.lock_ends_logins && !served.policy.lock_ends_logins)
    checks.push_back({"screen lock", CheckStatus::Ok, "LockEndsLogins 0: a locked screen does not end logins"});
  else if (!lock.problem.empty())
    checks.push_back({"screen lock", CheckStatus::Warn,
                      lock.problem + (lock.sources.empty() ? "" : "; a lock is seen from " + lock.sources)});
  else
    checks.push_back({"screen lock", CheckStatus::Ok, "a locked screen ends logins; seen from " + lock.sources});
  return checks;
}

}  // namespace

Check trace_check(const DoctorFacts& facts) {
  const platform::TraceTarget& trace = facts.trace;
  if (trace.path.empty())
    return {"trace", CheckStatus::Ok,
            "off (P11AGENT_TRACE, or the user's trace setting, names a file to turn it on: docs/troubleshooting.md)"};
  const std::string named = trace.path + " (named by " + trace.source + ")";
  if (facts.trace_problem) return {"trace", CheckStatus::Warn, named + " " + *facts.trace_problem + ": nothing is traced"};
  return {"trace", CheckStatus::Ok, "on, to " + named};
}

std::vector<Check> diagnose(const DoctorFacts& facts) {
  std::vector<Check> checks = {{"version", CheckStatus::Ok, facts.version}};
  bool any_token_module = false;
  for (const ModuleFacts& module : facts.modules) {
    checks.push_back(module_check(module, facts.modules_registered));
    any_token_module = any_token_module || (checks.back().status != CheckStatus::Fail && module.present);
  }
  if (!any_token_module)
    checks.push_back({"modules", CheckStatus::Fail,
                      facts.modules_registered
                          ? "no PKCS#11 module is registered with p11-kit and loads: install the token vendor's module "
                            "and register it (a file in /etc/pkcs11/modules/)"
                          : "no token vendor's module is installed where p11agent looks: install the token "
                            "vendor's software"});
  const bool registered = std::ranges::any_of(facts.registrations, &RegistrationFacts::present);
  for (const RegistrationFacts& place : facts.registrations)
    checks.push_back(registration_check(place, facts.own_executable));
  if (!registered)
    checks.push_back({"browser registration", CheckStatus::Fail,
                      "p11agent is not registered for any browser: " + std::string(REGISTER_TEXT)});
  checks.push_back(host_check("module host", facts.host, "no module can be used", CheckStatus::Fail, facts.build));
  if (facts.host_32) {
    // Where every user's browsers start this agent, the place it belongs in must not be
    // one that anyone else could fill.
    const bool every_user_registered = std::ranges::any_of(facts.registrations, [&](const RegistrationFacts& place) {
      return place.every_user && place.parses && place.executable == facts.own_executable;
    });
    checks.push_back(host_check("32-bit module host", *facts.host_32, "32-bit modules cannot be used",
                                every_user_registered ? CheckStatus::Fail : CheckStatus::Warn, ""));
  }
  checks.push_back(prompt_check("PIN prompt", facts.pin_prompt, "fail"));
  checks.push_back(prompt_check("certificate picker", facts.picker, "warn"));
  std::ranges::move(login_checks(facts), std::back_inserter(checks));
  checks.push_back(trace_check(facts));
  // Labels, paths, manifest strings and loaders' texts come from outside: none may move the
  // terminal's cursor, colour it or turn the text around.
  for (Check& check : checks) {
    check.check = shown_text(check.check);
    check.detail = shown_text(check.detail);
  }
  return checks;
}

namespace {

void read_tokens(const ModulePtr& module, ModuleFacts& facts) {
  auto with_token = slots_with_token(*module);
  if (!with_token) {
    facts.token_error = with_token.error().text();
    return;
  }
  facts.slots = with_token->size();
  for (CK_SLOT_ID slot : *with_token) {
    auto info = read_token_info(*module, slot);
    if (!info) {
      facts.token_error = "C_GetTokenInfo failed for slot " + std::to_string(slot);
      return;
    }
    TokenFacts token;
    if (auto identity = identity_of(*info)) token.label = identity->label;
    if (auto session = open_ro_session(module, slot))
      if (auto certificates = find_objects(*session, certificate_template())) token.certificates = certificates->size();
    facts.tokens.push_back(std::move(token));
  }
}

ModuleFacts module_facts(const std::string& path, const std::optional<platform::HostExecutable>& host_32) {
  ModuleFacts facts;
  facts.path = path;
  const auto file = platform::find_module_file(path);
  facts.present = file.has_value();
  if (!facts.present) return facts;
  facts.unloadable = file->unloadable;
  facts.in_32bit_host = file->in_32bit_host;
  facts.host_missing = facts.in_32bit_host && !(host_32 && host_32->present);
  // A module no host can load is not loaded: the system's loader would only fail.
  if (!facts.unloadable.empty() || facts.host_missing) return facts;
  auto module = open_module(path);
  if (!module) {
    facts.load_error = module.error();
    return facts;
  }
  read_tokens(*module, facts);
  return facts;
}

RegistrationFacts registration_facts(const platform::HostPlace& place) {
  RegistrationFacts facts;
  facts.manifest = place.manifest;
  facts.every_user = place.shared;
  const std::filesystem::path file(std::u8string(place.manifest.begin(), place.manifest.end()));
  std::error_code error;
  facts.present = std::filesystem::exists(file, error);
  // Read as unregistration reads it, so that what one leaves as another program's the other
  // does not take for p11agent's.
  const std::optional<nlohmann::json> manifest = our_manifest(file);
  const char* allowed = place.form == platform::ManifestForm::Chromium ? "allowed_origins" : "allowed_extensions";
  facts.parses = manifest && manifest->contains("path") && (*manifest)["path"].is_string();
  if (!facts.parses) return facts;
  facts.executable = (*manifest)["path"].get<std::string>();
  for (const auto& id : manifest->value(allowed, nlohmann::json::array()))
    if (id.is_string()) facts.allowed.push_back(id.get<std::string>());
  // One user's registration may name what that user installed for themselves.
  facts.changeable_by_others = agent_changeable_by_others(facts.executable, !place.shared);
  for (const std::string& key : place.keys)
    if (platform::host_key_value(key) != place.manifest) facts.keys_not_naming_it.push_back(key);
  return facts;
}

const char* status_word(CheckStatus status) {
  switch (status) {
    case CheckStatus::Ok: return "ok";
    case CheckStatus::Warn: return "warn";
    case CheckStatus::Fail: break;
  }
  return "fail";
}

}  // namespace

DoctorFacts gather_facts(const std::string& version) {
  DoctorFacts facts;
  facts.version = version;
  facts.own_executable = platform::own_executable_path();
#ifdef _WIN32
  facts.modules_registered = false;
#else
  facts.modules_registered = true;
#endif
  facts.build = P11AGENT_VERSION " (" P11AGENT_BUILD_PLATFORM ")";
  if (auto host = platform::module_host(platform::HostKind::Native)) facts.host = *host;
  facts.host_32 = platform::module_host(platform::HostKind::Bits32);
  for (const std::string& path : default_modules()) facts.modules.push_back(module_facts(path, facts.host_32));
  for (bool every_user : {false, true})
    if (auto places = platform::host_places(every_user, HOST_NAME, facts.own_executable))
      for (const platform::HostPlace& place : *places) facts.registrations.push_back(registration_facts(place));
  facts.pin_prompt = platform::pin_prompt_report();
  facts.picker = platform::cert_picker_report();
  facts.require_pin_prompt = platform::pin_prompt_required();
  facts.require_cert_choice = platform::cert_choice_required();
  facts.allow_cert_listing = platform::cert_listing_allowed();
  for (const auto& [name, written] : platform::named_switches(platform::settings()))
    if (!written.problem.empty()) facts.switch_problems.push_back(platform::deployer_setting_place(name) + " " + written.problem);
  facts.login_settings = deployer_login_settings();
  facts.screen_lock = platform::screen_lock_report();
  facts.trace = platform::trace_target();
  facts.trace_problem = platform::trace_problem();
  return facts;
}

std::string text_report(const std::vector<Check>& checks) {
  std::string text;
  for (const Check& check : checks) {
    std::string word = check.status == CheckStatus::Fail ? "FAIL" : status_word(check.status);
    word.resize(5, ' ');
    text += word + check.check + ": " + check.detail + "\n";
  }
  return text;
}

std::string json_report(const std::vector<Check>& checks) {
  nlohmann::json list = nlohmann::json::array();
  for (const Check& check : checks)
    list.push_back({{"check", check.check}, {"detail", check.detail}, {"status", status_word(check.status)}});
  const bool ok = std::ranges::none_of(checks, [](const Check& check) { return check.status == CheckStatus::Fail; });
  return nlohmann::json{{"checks", list}, {"ok", ok}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

int run_doctor(const std::string& version, bool json) {
  const std::vector<Check> checks = diagnose(gather_facts(version));
  const bool failed = std::ranges::any_of(checks, [](const Check& check) { return check.status == CheckStatus::Fail; });
  const bool written = platform::write_stdout(json ? json_report(checks) : text_report(checks));
  return written && !failed ? 0 : 1;
}

}  // namespace p11agent
