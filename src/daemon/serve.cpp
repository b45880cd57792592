#include "daemon/serve.h"

#include <array>

#include "daemon/module_loader.h"
#include "daemon/session_cache.h"
#include "frontend/response.h"
#include "frontend/text.h"
#include "platform/process.h"
#include "token/certificate.h"
#include "token/token_certs.h"

namespace p11agent {

namespace {

constexpr int START_DEADLINE_SECONDS = 8;
constexpr CK_ATTRIBUTE_TYPE VALUE_ONLY[] = {CKA_VALUE};

// The token serial as the daemon reports it: trimmed of Unicode white space.
std::string daemon_token_serial(const Pkcs11Module& module, CK_SLOT_ID slot) {
  auto identity = read_token_label_serial(module, slot);
  return identity ? std::string(trim_white_space(identity->serial)) : std::string();
}

std::string handle_ping(DaemonState& state, const Request&) {
  return render_json(Json{{"modules", state.module_table.size()}, {"ok", true}});
}

std::string handle_list_certs(DaemonState& state, const Request&) {
  Json certs = Json::array();
  for (const auto& [path, module] : state.module_table) {
    std::string token_serial;
    for_each_certificate(module, {VALUE_ONLY,
                                  [&](CK_SLOT_ID slot) { token_serial = daemon_token_serial(*module, slot); },
                                  [&](CK_SLOT_ID, const Attributes& attributes) {
                                    certs.push_back(Json{{"module", path},
                                                         {"thumbprint", thumbprint_of(*attributes.find(CKA_VALUE))},
                                                         {"token_serial", token_serial}});
                                    return false;
                                  }});
  }
  return render_json(Json{{"certs", std::move(certs)}, {"ok", true}});
}

std::string handle_find_cert(DaemonState& state, const Request& request) {
  const std::string wanted = ascii_lowercase(request.thumbprint.value_or(std::string()));
  if (wanted.empty()) return error_response_text("find_cert requires thumbprint");
  for (const auto& [path, module] : state.module_table) {
    auto match = find_cert_on_module(module, wanted);
    if (!match) continue;
    return render_json(Json{{"cert_serial", cert_serial_hex(match->der)}, {"module", path}, {"ok", true},
                            {"slot", match->slot}, {"token_serial", daemon_token_serial(*module, match->slot)}});
  }
  return error_response_text("certificate not found on any connected token");
}

struct DaemonCommand {
  std::string_view name;
  std::string (*handle)(DaemonState&, const Request&);
};

// Compared in this order.
constexpr std::array<DaemonCommand, 6> DAEMON_COMMANDS = {{
    {"ping", handle_ping},
    {"list_certs", handle_list_certs},
    {"validate", handle_validate},
    {"logout", handle_logout},
    {"find_cert", handle_find_cert},
    {"sign", handle_sign},
}};

// Reads standard input a line at a time; a line is kept whole however long it is.
class LineReader {
 public:
  // The next line without its "\n"; nullopt at end of input or on a read error.
  std::optional<std::string> next() {
    for (;;) {
      if (auto end = pending_.find('\n', start_ + scanned_); end != std::string::npos) {
        std::string line = pending_.substr(start_, end - start_);
        start_ = end + 1;
        scanned_ = 0;
        return line;
      }
      scanned_ = pending_.size() - start_;
      // Consumed lines are dropped only before a read, so a chunk holding many lines is
      // not moved once per line.
      pending_.erase(0, start_);
      start_ = 0;
      auto got = platform::read_stdin_some(chunk_.data(), chunk_.size());
      if (!got) return std::nullopt;
      if (*got == 0) {
        if (pending_.empty()) return std::nullopt;
        std::string last = std::move(pending_);  // input ended in the middle of a line
        pending_.clear();
        scanned_ = 0;
        return last;
      }
      pending_.append(chunk_.data(), *got);
    }
  }

 private:
  std::string pending_;
  std::size_t start_ = 0;    // where the unread part of pending_ begins
  std::size_t scanned_ = 0;  // bytes after start_ known to hold no "\n"
  std::array<char, 65536> chunk_{};
};

void release_state(DaemonState& state) {
  // Held sessions are closed without C_Logout: the token stays logged in for nobody,
  // and the modules are finalised once their last session is gone.
  state.module_table.clear();
  state.held_sessions.clear();
  state.session_slots.clear();
  state.cached_logins.clear();
  state.pin_digests.clear();
}

}  // namespace

std::string handle_daemon_request(DaemonState& state, std::string_view line) {
  auto request = parse_request(line);
  if (!request) return error_response_text("invalid JSON request: " + request.error());
  for (const auto& command : DAEMON_COMMANDS)
    if (request->cmd == command.name) return command.handle(state, *request);
  return error_response_text("daemon supports cmd=sign, validate, logout, find_cert, list_certs or ping");
}

int run_serve() {
  DaemonState state;
  state.module_table = load_modules_parallel(DEFAULT_MODULES, START_DEADLINE_SECONDS);
  state.candidate_paths = DEFAULT_MODULES;
  LineReader reader;
  while (auto line = reader.next()) {
    if (!is_valid_utf8(*line)) break;
    std::string_view text = *line;
    if (text.ends_with('\r')) text.remove_suffix(1);
    text = trim_white_space(text);
    if (text.empty()) continue;
    if (!platform::write_stdout(handle_daemon_request(state, text) + "\n")) break;
  }
  release_state(state);
  return 0;
}

}  // namespace p11agent
