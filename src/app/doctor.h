#pragma once
// p11agent --doctor: what is wrong with an installation, one check per line, in words a
// helpdesk can act on. The facts are gathered first, then judged by one function, so that
// every judgement can be tried on facts of a test's choosing.
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "daemon/login_policy.h"
#include "system/module_file.h"
#include "desktop/pin_dialog.h"
#include "desktop/screen_lock.h"
#include "trace/trace.h"

namespace p11agent {

enum class CheckStatus { Ok, Warn, Fail };

struct Check {
  std::string check;
  CheckStatus status;
  std::string detail;
};

struct TokenFacts {
  std::string label;
  std::size_t certificates = 0;
};

struct ModuleFacts {
  std::string path;
  bool present = false;
  std::string unloadable;       // why no program of this build loads it; "" when one does
  bool in_32bit_host = false;  // Windows: a 32-bit module, which the 32-bit host loads
  bool host_missing = false;   // ... and that host is not beside the agent: it was not loaded
  std::string load_error;      // "" when it loaded and initialised
  std::size_t slots = 0;   // slots with a token
  std::vector<TokenFacts> tokens;
  std::string token_error;  // the call that failed while its slots and tokens were read; "" when none
};

struct RegistrationFacts {
  std::string manifest;
  bool every_user = false;  // the registration for every user of the computer
  bool present = false;
  bool parses = false;
  std::string executable;            // the path the manifest names
  std::vector<std::string> allowed;  // extension origins or ids
  std::optional<std::string> changeable_by_others;  // why others can change what it names
  std::vector<std::string> keys_not_naming_it;      // Windows: the browsers' keys that should name it
};

struct DoctorFacts {
  std::string version;  // "p11agent 1.0.0 (linux-x86_64)"
  std::string own_executable;
  // The known modules; where they are the ones p11-kit registers (Linux), a missing file is
  // a failure, where they are the vendors' usual places (Windows), an absent one is not.
  std::vector<ModuleFacts> modules;
  bool modules_registered = false;
  std::vector<RegistrationFacts> registrations;
  std::string build;                                // "1.0.0 (linux-x86_64)", as its hosts state it
  platform::HostExecutable host;                    // the host of the agent's own kind
  std::optional<platform::HostExecutable> host_32;  // where this build has one (Windows)
  platform::PromptReport pin_prompt;
  platform::PromptReport picker;
  bool require_pin_prompt = false;
  bool require_cert_choice = false;
  bool allow_cert_listing = false;
  std::vector<std::string> switch_problems;  // how a switch was written wrongly, each with its place
  LoginSettings login_settings;  // as the deployer set them
  platform::ScreenLockReport screen_lock;
  platform::TraceTarget trace;                // where the trace goes; an empty path when off
  std::optional<std::string> trace_problem;  // why that file is not written
};

std::vector<Check> diagnose(const DoctorFacts& facts);

// The facts of this installation: every known module loaded in its host and looked at (no
// login, no PIN), every registration read.
DoctorFacts gather_facts(const std::string& version);

// "ok   check: detail" lines; and the one-line JSON form.
std::string text_report(const std::vector<Check>& checks);
std::string json_report(const std::vector<Check>& checks);

// Prints the report; 0 when no check failed, 1 otherwise.
int run_doctor(const std::string& version, bool json);

}  // namespace p11agent
