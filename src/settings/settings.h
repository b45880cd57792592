#pragma once
// Everything the deployer and the user set for the agent, read once per process into one
// value that every part takes (serve, the browser host, one-shot, the trace, the doctor):
// nothing else reads a registry value or a settings file.
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>

#include "settings/deployer_settings.h"

namespace p11agent::platform {

struct Settings {
  // The deployer's switches, each with what is wrong with how it was written.
  DeployerSwitch require_pin_prompt;
  DeployerSwitch require_cert_choice;
  DeployerSwitch allow_cert_listing;
  // The deployer's values for logins, as written (nullopt: not set).
  std::optional<std::string> signature_consent;
  std::optional<std::string> login_idle_seconds;
  std::optional<std::string> lock_ends_logins;
  // The user's own: where the trace goes (nullopt: not set).
  std::optional<std::string> trace_file;
};

// The names the settings are written under (the values' names; on Linux their kebab-case
// file names).
inline constexpr const char* REQUIRE_PIN_PROMPT = "RequirePinPrompt";
inline constexpr const char* REQUIRE_CERT_CHOICE = "RequireCertChoice";
inline constexpr const char* ALLOW_CERT_LISTING = "AllowCertListing";
inline constexpr const char* SIGNATURE_CONSENT = "SignatureConsent";
inline constexpr const char* LOGIN_IDLE_SECONDS = "LoginIdleSeconds";
inline constexpr const char* LOCK_ENDS_LOGINS = "LockEndsLogins";
inline constexpr const char* TRACE_FILE = "TraceFile";

// The three switches with their names, in this order: for whoever tells them all.
inline std::array<std::pair<const char*, DeployerSwitch>, 3> named_switches(const Settings& set) {
  return {{{REQUIRE_PIN_PROMPT, set.require_pin_prompt},
           {REQUIRE_CERT_CHOICE, set.require_cert_choice},
           {ALLOW_CERT_LISTING, set.allow_cert_listing}}};
}

// The settings, read at the first call.
const Settings& settings();

// How many times a setting was read from the registry or a file in this process: each once.
std::size_t setting_reads();

}  // namespace p11agent::platform
