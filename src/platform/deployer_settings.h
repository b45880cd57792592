#pragma once
// What the machine's deployer set for p11agent: on Windows the values under
// HKLM\Software\p11agent, on Linux the files of /etc/p11agent, each named after its value
// in lower case with hyphens (SignatureConsent: /etc/p11agent/signature-consent). Only an
// administrator can change either.
#include <optional>
#include <string>
#include <string_view>

namespace p11agent::platform {

// The setting's value as text: on Windows a REG_SZ as it is and a REG_DWORD in decimal; on
// Linux the file's first line ("" for a file that is not a regular one or cannot be read:
// set, but to nothing the agent takes). nullopt where the deployer did not set it.
std::optional<std::string> deployer_setting(std::string_view name);

// Whether the deployer turned the switch on: the DWORD 1 on Windows, the file's presence on
// Linux (RequirePinPrompt, RequireCertChoice, AllowCertListing).
bool deployer_switch_on(std::string_view name);

// Linux: the first line of a regular file ("" for another kind of file, or one that cannot
// be read), from at most `most_read` bytes; nullopt where nothing is at the path.
std::optional<std::string> first_line_of_file(const std::string& path, std::size_t most_read);

// Where the deployer sets it, for a person: "HKLM\Software\p11agent\SignatureConsent" or
// "/etc/p11agent/signature-consent".
std::string deployer_setting_place(std::string_view name);

}  // namespace p11agent::platform
