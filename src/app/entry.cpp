#include "app/entry.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <string_view>

#include "app/doctor.h"
#include "app/host_registration.h"
#include "app/trace_summary.h"
#include "daemon/login_policy.h"
#include "daemon/serve.h"
#include "oneshot/one_shot.h"
#include "system/library.h"
#include "desktop/pin_dialog.h"
#include "system/digest.h"
#include "system/files.h"
#include "system/host_process.h"
#include "system/module_file.h"
#include "system/process.h"
#include "settings/settings.h"
#include "trace/trace.h"
#include "text/json_fields.h"
#include "pkcs11/bounds.h"
#include "token/module_host.h"
#include "wire/response.h"

namespace p11agent {

namespace {

#define P11AGENT_VERSION_LINE "p11agent " P11AGENT_VERSION " (" P11AGENT_BUILD_PLATFORM ")"

// This build's version and its module hosts', as each states it.
std::string version_text(const char* between) {
  std::string text = P11AGENT_VERSION_LINE;
  for (const auto& [kind, name] : {std::pair{platform::HostKind::Native, platform::HOST_NAME},
                                   std::pair{platform::HostKind::Bits32, platform::HOST_32_NAME}})
    if (auto host = platform::module_host(kind))
      text += between + std::string(name) + " " + (host->present ? host->version_text() : "missing") + ": " + host->path;
  return text;
}

constexpr const char* HELP_TEXT =
    "p11agent " P11AGENT_VERSION ": signatures from PKCS#11 tokens for the application that starts it.\n"
    "\n"
    "  p11agent            reads one JSON request from standard input, writes one answer line,\n"
    "                      exits 0 (ok) or 1; cmd: enumerate, list_certs, find_cert, sign\n"
    "  p11agent serve      one request per line, one answer line each, until the input ends;\n"
    "                      cmd: ping, list_certs, find_cert, validate, sign, logout\n"
    "  p11agent --register-host [--system] --chrome-extension ID --firefox-extension ID\n"
    "                      lets these extensions start p11agent from Chrome, Chromium, Edge\n"
    "                      and Firefox, for this user or (--system) for every user; the\n"
    "                      options repeat, one id each\n"
    "  p11agent --unregister-host [--system]\n"
    "                      takes that back\n"
    "  p11agent --doctor [--json]\n"
    "                      checks the installation (modules, browser registrations, prompts)\n"
    "                      and says what is wrong; exits 1 when a check failed\n"
    "  p11agent --trace-summary FILE\n"
    "                      tells what a trace (P11AGENT_TRACE) holds: each request with its\n"
    "                      answer, and the calls that failed under a failed one\n"
    "  p11agent --help     this text\n"
    "  p11agent --version  the version and the platform of this build\n"
    "\n"
    "Started by a browser as its native-messaging host, it answers as serve does, in the\n"
    "browser's framing. Requests, answers and error texts: docs/protocol.md.\n"
    "\n"
    "example: echo '{\"cmd\":\"list_certs\"}' | p11agent\n";

// Firefox's first argument: the host manifest's absolute path ("/...", "C:\...", "\\...").
bool is_absolute_manifest_path(std::string_view arg) {
  if (!arg.ends_with(".json")) return false;
  const bool drive = arg.size() > 3 && std::isalpha(static_cast<unsigned char>(arg[0])) && arg[1] == ':' &&
                     (arg[2] == '\\' || arg[2] == '/');
  return arg.starts_with('/') || arg.starts_with("\\\\") || drive;
}

// How Chrome and Edge (the extension's origin first, on Windows a parent window after it)
// and Firefox (the host manifest's path and the extension's id) start a native host; any
// other arguments leave the agent in one-shot mode.
bool started_by_a_browser(const std::vector<std::string>& args) {
  if (!args.empty() && is_extension_origin(args.front())) return true;
  return args.size() == 2 && is_absolute_manifest_path(args.front()) && !args.back().empty();
}

// The window Chrome names with "--parent-window=<number>" (0 where it names none, as on
// Linux and in Firefox).
std::uint64_t parent_window(const std::vector<std::string>& args) {
  constexpr std::string_view PARENT = "--parent-window=";
  for (const std::string& arg : args) {
    if (!arg.starts_with(PARENT)) continue;
    const std::string_view digits = std::string_view(arg).substr(PARENT.size());
    std::uint64_t window = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), window);
    return error == std::errc() && end == digits.data() + digits.size() ? window : 0;
  }
  return 0;
}

// The known modules whose files are there and load in a host of the agent's own kind:
// `serve` and the browser host load each at start (a 32-bit module's host starts then).
std::size_t installed_known_modules() {
  const auto& modules = default_modules();
  return static_cast<std::size_t>(std::count_if(modules.begin(), modules.end(), [](const std::string& path) {
    const auto file = platform::find_module_file(path);
    return file && !file->in_32bit_host;
  }));
}

// Registration and --doctor write text for a person: what was thrown past them is said
// in a line of its own, with status 1.
template <typename Mode>
auto guarded_status(Mode mode) -> decltype(mode()) {
  try {
    return mode();
  } catch (const std::exception& thrown) {
    (void)platform::write_stdout(unexpected_failure_text(thrown) + "\n");
    return 1;
  }
}

// The trace's first line: the mode, this build, and the deployer's settings in force.
void trace_start(std::string_view mode, bool browser) {
  if (!platform::tracing()) return;
  std::string settings = policy_text(read_login_policy(browser, deployer_login_settings()).policy);
  for (const auto& [name, written] : platform::named_switches(platform::settings()))
    settings += std::string(", ") + name + (written.on ? " 1" : " 0");
  JsonFields line;
  line.text("mode", mode).text("version", P11AGENT_VERSION).text("platform", P11AGENT_BUILD_PLATFORM);
  platform::trace("start", line.text("settings", settings).str());
}

}  // namespace

int run_agent(int argc, char** argv, ModulePlacement placement) {
  platform::set_process_error_mode();
  // Refused, the search stays the system's default: no worse than before, and no reason to
  // refuse the caller a signature.
  (void)platform::keep_working_directory_out_of_library_search();
  auto args = platform::arguments(argc, argv);
  if (args.size() == 1 && (args.front() == "--help" || args.front() == "--version"))
    platform::end_process_now(platform::write_stdout(args.front() == "--help" ? HELP_TEXT : version_text("\n") + "\n") ? 0 : 1);
  if (args.size() == 2 && args.front() == "--trace-summary")
    platform::end_process_now(guarded_status([&] { return run_trace_summary(args[1]); }));
  if (auto status = guarded_status([&] { return run_host_registration(args); })) platform::end_process_now(*status);
  const bool serves = !args.empty() && args.front() == "serve";
  const bool browser = started_by_a_browser(args);
  const bool doctor = !args.empty() && args.front() == "--doctor" && (args.size() == 1 || (args.size() == 2 && args[1] == "--json"));
  // Every module the agent loads lives in a host process of its own.
  const bool hosted = placement == ModulePlacement::Hosts;
  ModuleHosting hosting{platform::module_host_path(platform::HostKind::Native), CALL_DEADLINE};
  // Whether it is there is asked where a 32-bit module's host is started, each time.
  hosting.executable_32 = platform::module_host_path(platform::HostKind::Bits32);
  // One-shot ends right after its hosts: a killed host is left for the system to reap.
  if (!serves && !browser) hosting.end_grace = std::chrono::milliseconds{0};
  if (hosted) use_module_hosts(std::move(hosting));
  // The one-shot command's host starts first, before the request, the settings or the
  // registry are read, so that its start overlaps all of the agent's own. `serve` and the
  // browser host start one for each known module that is there.
  if (hosted && !doctor) prestart_module_hosts(serves || browser ? installed_known_modules() : 1);
  // The digests' library (libnettle on Linux) loads beside the module host's start, on the
  // other core, and is ready by the time the first thumbprint is checked.
  platform::prepare_digests();
  // Like --help, it reads no request; it loads every known module in its host.
  trace_start(doctor ? "doctor" : serves ? "serve" : browser ? "browser host" : "one-shot", browser);
  if (doctor)
    platform::end_process_now(guarded_status([&] { return run_doctor(version_text("; "), args.size() == 2); }));
  // Loader threads may still be inside a vendor module: the daemon ends the process
  // without the exit-time clean-up they could race with.
  if (serves) platform::end_process_now(run_serve());
  if (browser) {
    platform::set_prompt_owner(parent_window(args));
    platform::end_process_now(run_native_host());
  }
  // The answer is written and every module released: the libraries' exit-time clean-up
  // (OpenSSL frees its tables, for one) would only delay the caller.
  platform::end_process_now(run_one_shot());
}

}  // namespace p11agent
