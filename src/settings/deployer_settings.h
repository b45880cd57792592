#pragma once
// What the machine's deployer set for p11agent: on Windows the values under
// HKLM\Software\p11agent, on Linux the files of /etc/p11agent, each named after its value
// in lower case with hyphens (SignatureConsent: /etc/p11agent/signature-consent). Only an
// administrator can change either.
#include <optional>
#include <string>
#include <string_view>

namespace p11agent::platform {

// The setting's value as text: on Windows a REG_SZ as it is (a REG_EXPAND_SZ with its
// environment variables expanded) and a REG_DWORD in decimal; on
// Linux the file's first line ("" for a file that is not a regular one or cannot be read:
// set, but to nothing the agent takes). nullopt where the deployer did not set it.
std::optional<std::string> deployer_setting(std::string_view name);

// A switch as the deployer wrote it (RequirePinPrompt, RequireCertChoice, AllowCertListing):
// on Linux the file's presence; on Windows the REG_DWORD 1, or the text "1" that `reg add`
// writes without /t REG_DWORD, which a deployer plainly meant as on. What is wrong with how
// it was written is said ("" where nothing is): on Windows anything but a REG_DWORD 0 or 1.
struct DeployerSwitch {
  bool on = false;
  std::string problem;
};
DeployerSwitch deployer_switch(std::string_view name);

// Where the deployer sets it, for a person: "HKLM\Software\p11agent\SignatureConsent" or
// "/etc/p11agent/signature-consent".
std::string deployer_setting_place(std::string_view name);

// The user's own setting, for what concerns that user alone (where the trace goes), read as
// the deployer's are: on Windows the value under HKCU\Software\p11agent, on Linux the first
// line of $XDG_CONFIG_HOME/p11agent/<kebab-name> (~/.config/... where that is not set).
std::optional<std::string> user_setting(std::string_view name);
std::string user_setting_place(std::string_view name);

}  // namespace p11agent::platform
