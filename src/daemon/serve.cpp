#include "daemon/serve.h"

#include <array>
#include <atomic>
#include <mutex>
#include <optional>

#include "daemon/cert_gate.h"
#include "daemon/commands.h"
#include "daemon/frame_reader.h"
#include "daemon/line_reader.h"
#include "daemon/slot_watch.h"
#include "daemon/ticker.h"
#include "desktop/pin_dialog.h"
#include "system/process.h"
#include "trace/trace.h"
#include "sign/cert_choice.h"
#include "sign/pin_prompt.h"
#include "text/utf8.h"
#include "token/module_host.h"
#include "wire/request_checks.h"
#include "wire/request_trace.h"
#include "wire/response.h"

namespace p11agent {

namespace {

enum class NeedsModules : bool { No, Yes };

using Handler = std::string (*)(DaemonState&, const Request&, const SiteView&);

struct DaemonCommand {
  std::string_view name;
  Handler handle;
  NeedsModules needs_modules;
};

// A command that shows no list needs nothing of the gate but its passing.
template <std::string (*handle)(DaemonState&, const Request&)>
std::string passed_gate(DaemonState& state, const Request& request, const SiteView&) {
  return handle(state, request);
}

// Compared in this order.
constexpr std::array<DaemonCommand, 9> DAEMON_COMMANDS = {{
    {"ping", passed_gate<handle_ping>, NeedsModules::No},
    {"list_certs", handle_list_certs, NeedsModules::Yes},
    {"validate", passed_gate<handle_validate>, NeedsModules::Yes},
    {"logout", passed_gate<handle_logout>, NeedsModules::No},
    {"find_cert", passed_gate<handle_find_cert>, NeedsModules::Yes},
    {"sign", passed_gate<handle_sign>, NeedsModules::Yes},
    {"choose_cert", passed_gate<handle_choose_cert>, NeedsModules::Yes},
    {"watch_tokens", passed_gate<handle_watch_tokens>, NeedsModules::No},
    {"authenticate", passed_gate<handle_authenticate>, NeedsModules::Yes},
}};

// Where no module is loaded because the module host is missing, a command that needs one
// says so: an installation fault, not an empty token. (With a module loaded, its host is
// there: nothing is asked of the file system.)
std::optional<std::string> installation_fault(const DaemonState& state, NeedsModules needs) {
  if (needs == NeedsModules::No || !state.module_table.empty()) return std::nullopt;
  return missing_host_text();
}

std::string answer_request(DaemonState& state, std::string_view line) {
  auto request = parse_request(line);
  if (!request) return error_response_text("invalid JSON request: " + request.error());
  trace_request(*request);
  if (auto origin = check_origin(*request); !origin) return error_response_text(origin.error());
  // The deployer's setting: the PIN is typed into the agent's prompt, never into a page.
  if (state.pin_prompt_required && carries_pin(*request)) return error_response_text(PIN_PROMPT_REQUIRED);
  const GateAnswer passing = cert_gate(state, *request);
  if (passing.gate != CertGate::Open) return cert_gate_answer(passing.gate, *request);
  for (const auto& command : DAEMON_COMMANDS)
    if (request->cmd == command.name) {
      reload_ended_modules(state);
      if (auto fault = installation_fault(state, command.needs_modules)) return error_response_text(*fault);
      return command.handle(state, *request, passing.view);
    }
  return error_response_text("daemon supports cmd=sign, validate, logout, find_cert, list_certs or ping");
}

}  // namespace

std::string handle_daemon_request(DaemonState& state, std::string_view line) {
  // The request alone fails: the daemon, and the logins it holds, go on.
  try {
    return answer_request(state, line);
  } catch (const std::exception& thrown) {
    return error_response_text(unexpected_failure_text(thrown));
  }
}

namespace {

// How often the daemon looks whether the watch of the tokens is due, and an event; and how
// long the caller must have been quiet for it.
constexpr std::chrono::milliseconds WATCH_STEP{250};
constexpr std::chrono::milliseconds QUIET_BEFORE_WATCH{100};

// What is answered once the input can be read no further: nothing for lines; for a
// browser's messages, a length past the limit, which cannot be skipped safely (the host
// then ends).
std::optional<std::string> last_word(const LineReader&) { return std::nullopt; }
std::optional<std::string> last_word(const FrameReader& reader) {
  if (!reader.over_limit()) return std::nullopt;
  return error_response_text("message longer than the " + std::to_string(MAX_MESSAGE_BYTES) +
                             " bytes a native host takes");
}

// Loads the known modules, then answers each request read until there are none or the
// caller stops reading, and releases everything. Between requests, a ticker watches the
// tokens (and tells a caller who asked): the state is the request loop's but while the loop
// waits for input with every request it read answered (requests sent together are answered
// together, with no watch between them).
enum class Caller { Application, Browser };

template <typename Reader, typename Write>
int serve_loaded(Caller caller, Write& write_answer) {
  DaemonState state;
  state.browser = caller == Caller::Browser;
  state.pin_prompt_required = state.browser && platform::pin_prompt_required();
  state.cert_access = cert_access(state.browser, platform::cert_choice_required(), platform::cert_listing_allowed());
  state.policy = read_login_policy(state.browser, deployer_login_settings()).policy;
  if (state.policy.lock_ends_logins) state.screen_lock = platform::watch_screen_lock();
  state.module_table = state.loader.load(default_modules(), START_DEADLINE);
  state.candidate_paths = default_modules();
  std::mutex state_lock;
  bool caller_reads = true;  // under state_lock
  // When the request loop began to wait in a read with every request it read answered
  // (none while it is not waiting): only once it has waited QUIET_BEFORE_WATCH may the
  // ticker have the state (a request that comes stops its round after the module being
  // asked) and write an event. A read that returns at once (requests sent together, or the
  // end of input) leaves the ticker out.
  using Clock = std::chrono::steady_clock;
  std::atomic<Clock::rep> waiting_since = 0;
  auto request_waits = [&] { return waiting_since.load() == 0; };
  auto quiet = [&] {
    const Clock::rep since = waiting_since.load();
    return since != 0 && Clock::now() - Clock::time_point(Clock::duration(since)) >= QUIET_BEFORE_WATCH;
  };
  std::optional<Ticker> watching(std::in_place, WATCH_STEP, [&] {
    std::lock_guard held(state_lock);
    if (!caller_reads || !quiet()) return;
    end_expired_logins(state, Clock::now());
    watch_due_modules(state, request_waits);
    // With a request waiting, the event stays due: it is written after that request's answer.
    if (request_waits()) return;
    if (auto event = due_token_event(state)) caller_reads = write_answer(std::move(*event));
    platform::flush_trace();  // what the watch saw is written while nobody asks
  });
  Reader reader([&](char* buffer, std::size_t capacity) {
    // The trace's lines are written before the agent may wait for the caller: once for
    // every request a caller waits for, once for many that come together.
    platform::flush_trace();
    waiting_since = Clock::now().time_since_epoch().count();
    auto got = platform::read_stdin_some(buffer, capacity);
    waiting_since = 0;
    return got;
  });
  // Until the first answer, the hosts are starting beside the agent: answers are waited for
  // asleep. Later requests (cached signatures) wait awake first.
  wait_awake_for_answers(false);
  for (;;) {
    auto request = reader.next_request();
    std::lock_guard held(state_lock);
    if (!request || !caller_reads) break;
    // A login whose time ran out while the ticker had no turn is not used for this request.
    const auto asked = Clock::now();
    end_expired_logins(state, asked);
    std::string answer = request->refusal.empty() ? handle_daemon_request(state, request->text)
                                                  : error_response_text(std::string(request->refusal));
    trace_answer(answer, asked);
    caller_reads = write_answer(std::move(answer));
    end_request_logins(state);
    if (!caller_reads) break;
    wait_awake_for_answers(true);
  }
  watching.reset();  // no tick after this
  release_state(state);
  if (auto word = last_word(reader); word && caller_reads) (void)write_answer(std::move(*word));
  return 0;
}

// What is thrown outside a request (while the modules load) ends the daemon with an
// answer that says so, and status 1.
template <typename Reader, typename Write>
int serve_with(Caller caller, Write write_answer) {
  try {
    return serve_loaded<Reader>(caller, write_answer);
  } catch (const std::exception& thrown) {
    (void)write_answer(error_response_text(unexpected_failure_text(thrown)));
    return 1;
  }
}

}  // namespace

int run_serve() {
  return serve_with<LineReader>(Caller::Application,
                                [](std::string answer) { return platform::write_stdout(answer += '\n'); });
}

int run_native_host() {
  return serve_with<FrameReader>(Caller::Browser,
                                 [](const std::string& answer) { return platform::write_stdout(framed_answer(answer)); });
}

}  // namespace p11agent
