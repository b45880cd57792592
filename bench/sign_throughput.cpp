// Signatures per second: the daemon over its pipe against raw C_SignInit/C_Sign on one
// logged-in session, on the same token and key, in one run. Also the daemon's peak
// memory after 1,000 and after 100,000 requests.
// With --file-fed: serve reads its requests from a file and writes to /dev/null, so no
// caller is in the loop; the run with only the validate request is taken off, which
// leaves the time of the signatures alone, against the raw loop's. Then, in this process,
// the daemon's request handling against the same calls made directly on its held session
// with its key, in alternating blocks, so that the machine's drift touches both alike.
//
// usage: p11agent_bench_sign [--file-fed] AGENT MODULE PIN RSA_THUMBPRINT EC_THUMBPRINT
// (the agent must reach the same token through its known modules)
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

#include "bare_pkcs11.h"
#include "daemon/daemon_state.h"
#include "daemon/serve.h"
#include "support/child_process.h"

using Clock = std::chrono::steady_clock;
using testing_support::RawChild;

namespace {

// The caller's side of the pipes, read on the calling thread itself: no helper thread
// stands between an answer and the next request.
class Caller {
 public:
  explicit Caller(const std::string& agent) : child_(testing_support::spawn_raw(agent, {"serve"})) {}
  void write(const std::string& request) { child_->write_stdin(request.data(), request.size()); }
  bool read_line(std::string* line = nullptr) {
    for (;;) {
      if (auto end = pending_.find('\n'); end != std::string::npos) {
        if (line != nullptr) *line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return true;
      }
      char buffer[65536];
      std::size_t n = child_->read_stdout(buffer, sizeof buffer);
      if (n == 0) return false;
      pending_.append(buffer, n);
    }
  }
  long id() const { return child_->id(); }
  int finish() {
    child_->close_stdin();
    return child_->wait();
  }

 private:
  std::unique_ptr<RawChild> child_;
  std::string pending_;
};

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The baseline: a plain program that has the session and the key already.
// With `size_query`, each signature first asks C_Sign for its length, as the agent does.
// With `read_write`, the session is of the kind the daemon holds.
double raw_rate(const std::string& module_path, const std::string& pin, CK_KEY_TYPE key_type, int count,
                bool size_query, bool read_write = false) {
  bench::BareModule module(module_path);
  CK_FLAGS flags = CKF_SERIAL_SESSION | (read_write ? CKF_RW_SESSION : 0);
  CK_SESSION_HANDLE session = module.open_session(module.first_initialised_slot(), pin, flags);
  CK_OBJECT_CLASS key_class = CKO_PRIVATE_KEY;
  auto keys =
      module.find(session, {{CKA_CLASS, &key_class, sizeof key_class}, {CKA_KEY_TYPE, &key_type, sizeof key_type}});
  if (keys.empty()) bench::fail("finding the key");
  CK_MECHANISM mechanism{key_type == CKK_EC ? CKM_ECDSA : CKM_RSA_PKCS, nullptr, 0};
  std::vector<CK_BYTE> digest(32, 0x42), signature(512);
  auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    CK_ULONG length = signature.size();
    if (module->C_SignInit(session, &mechanism, keys[0]) != CKR_OK ||
        (size_query && module->C_Sign(session, digest.data(), digest.size(), nullptr, &length) != CKR_OK) ||
        module->C_Sign(session, digest.data(), digest.size(), signature.data(), &length) != CKR_OK)
      bench::fail("signing");
  }
  double rate = count / seconds_since(start);
  module->C_CloseSession(session);
  return rate;
}

// `named`: the members that name the algorithm (RSA: the agent adds the DigestInfo; EC: a
// DER answer), which cost no call of their own once the login is held.
std::string sign_request(const std::string& thumbprint, const std::string& pin, const std::string& named = "") {
  return R"({"cmd":"sign","thumbprint":")" + thumbprint + R"(","pin":")" + pin + R"(","hash_hex":")" +
         std::string(64, '4') + "\"" + named + "}\n";
}

// A caller that waits for each answer before it sends the next request.
double daemon_rate_waiting(Caller& daemon, const std::string& request, int count) {
  auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    daemon.write(request);
    if (!daemon.read_line()) return 0;
  }
  return count / seconds_since(start);
}

// A caller that writes all its requests back to back while it reads the answers.
double daemon_rate_streaming(Caller& daemon, const std::string& request, int count) {
  auto start = Clock::now();
  std::thread writer([&] {
    for (int i = 0; i < count; ++i) daemon.write(request);
  });
  for (int i = 0; i < count; ++i)
    if (!daemon.read_line()) break;
  writer.join();
  return count / seconds_since(start);
}

// Seconds from start to exit of `serve` reading the file and writing to /dev/null.
double serve_seconds(const std::string& agent, const std::string& input) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const char* argv[] = {agent.c_str(), "serve", nullptr};
  auto start = Clock::now();
  pid_t pid = 0;
  if (posix_spawn(&pid, agent.c_str(), &actions, nullptr, const_cast<char**>(argv), environ) != 0)
    bench::fail("starting the agent");
  int status = 0;
  waitpid(pid, &status, 0);
  double seconds = seconds_since(start);
  posix_spawn_file_actions_destroy(&actions);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) bench::fail("serve run");
  return seconds;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Microseconds a signature costs the daemon fed from a file (the run of a validate and
// `count` signs, less the run of the validate alone: start-up, module loading, login and
// release), and the raw loop's microseconds a signature. The three runs alternate, seven
// rounds, and each figure is the median of its rounds, so drift touches both alike.
struct PerSignature {
  double agent_us;
  double raw_us;
};

PerSignature file_fed_per_signature(const std::string& agent, const std::string& module, const std::string& pin,
                                    const std::string& thumbprint, CK_KEY_TYPE type, int count) {
  const std::string validate = R"({"cmd":"validate","thumbprint":")" + thumbprint + R"(","pin":")" + pin + "\"}\n";
  char folder_template[] = "/tmp/p11agent-bench-XXXXXX";
  const std::string folder = mkdtemp(folder_template);
  const std::string only_validate = folder + "/validate", with_signs = folder + "/signs";
  std::ofstream(only_validate) << validate;
  {
    std::ofstream out(with_signs);
    out << validate;
    const std::string sign = sign_request(thumbprint, pin);
    for (int i = 0; i < count; ++i) out << sign;
  }
  std::vector<double> agent_us, raw_us;
  for (int round = 0; round < 7; ++round) {
    raw_us.push_back(1e6 / raw_rate(module, pin, type, count, true, true));
    double base = serve_seconds(agent, only_validate);
    agent_us.push_back((serve_seconds(agent, with_signs) - base) / count * 1e6);
  }
  std::remove(only_validate.c_str());
  std::remove(with_signs.c_str());
  std::remove(folder.c_str());
  return {median(agent_us), median(raw_us)};
}

// Microseconds a sign request costs handle_daemon_request, and the same token calls made
// directly (C_SignInit and the two C_Sign) on its held session with its key.
PerSignature in_process_per_signature(p11agent::DaemonState& state, const std::string& thumbprint,
                                      const std::string& pin, int count) {
  std::string request = sign_request(thumbprint, pin);
  request.pop_back();  // the line without its "\n"
  const p11agent::CachedLogin& login = state.cached_logins.at(thumbprint);
  const p11agent::Session& session = *state.token_logins.at(login.token).session;
  const CK_FUNCTION_LIST& f = session.functions();
  CK_MECHANISM mechanism{login.key_use.mechanism, nullptr, 0};
  std::vector<CK_BYTE> digest(32, 0x44), signature(512);
  constexpr int BLOCK = 50;
  double agent_seconds = 0, raw_seconds = 0;
  for (int done = 0; done < count; done += BLOCK) {
    auto start = Clock::now();
    for (int i = 0; i < BLOCK; ++i)
      if (p11agent::handle_daemon_request(state, request).find("\"ok\":true") == std::string::npos)
        bench::fail("daemon signing");
    agent_seconds += seconds_since(start);
    start = Clock::now();
    for (int i = 0; i < BLOCK; ++i) {
      CK_ULONG length = signature.size();
      if (f.C_SignInit(session.handle(), &mechanism, login.key_handle) != CKR_OK ||
          f.C_Sign(session.handle(), digest.data(), digest.size(), nullptr, &length) != CKR_OK ||
          f.C_Sign(session.handle(), digest.data(), digest.size(), signature.data(), &length) != CKR_OK)
        bench::fail("signing");
    }
    raw_seconds += seconds_since(start);
  }
  return {agent_seconds / count * 1e6, raw_seconds / count * 1e6};
}

int file_fed(const std::string& agent, const std::string& module, const std::string& pin, const std::string& rsa,
             const std::string& ec) {
  struct Key {
    const char* name;
    std::string thumbprint;
    CK_KEY_TYPE type;
    int count;
  };
  for (const Key& key : {Key{"RSA-2048", rsa, CKK_RSA, 1000}, Key{"P-256", ec, CKK_EC, 10000}}) {
    raw_rate(module, pin, key.type, key.count / 10, true, true);  // warm-up
    PerSignature t = file_fed_per_signature(agent, module, pin, key.thumbprint, key.type, key.count);
    std::printf("%-8s file-fed serve %.2f us/signature, raw loop with size query %.2f us: ratio %.3f, "
                "agent's own %.2f us/signature\n",
                key.name, t.agent_us, t.raw_us, t.raw_us / t.agent_us, t.agent_us - t.raw_us);
  }
  p11agent::DaemonState state;
  auto opened = p11agent::open_module(module);
  if (!opened) bench::fail("opening the module in process");
  state.module_table[module] = *opened;
  for (const Key& key : {Key{"RSA-2048", rsa, CKK_RSA, 1000}, Key{"P-256", ec, CKK_EC, 10000}}) {
    const std::string validate = R"({"cmd":"validate","thumbprint":")" + key.thumbprint + R"(","pin":")" + pin + "\"}";
    if (p11agent::handle_daemon_request(state, validate) != R"({"ok":true})") bench::fail("validate in process");
    PerSignature t = in_process_per_signature(state, key.thumbprint, pin, key.count);
    std::printf("%-8s in process, alternating: request handling %.2f us/signature, direct calls %.2f us: ratio %.3f, "
                "agent's own %.2f us/signature\n",
                key.name, t.agent_us, t.raw_us, t.raw_us / t.agent_us, t.agent_us - t.raw_us);
  }
  p11agent::release_state(state);
  return 0;
}

// The voluntary context switches so far of a process's threads: each is a sleep it woke
// from (/proc/PID/status counts its first thread's alone).
long voluntary_switches(long pid) {
  long total = 0;
  std::error_code ignored;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ignored)) {
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) total += std::stol(line.substr(24));
  }
  return total;
}

// The agent's and its children's (the module hosts') switches.
std::pair<long, long> agent_and_host_switches(long agent) {
  long hosts = 0;
  std::error_code ignored;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(agent) + "/task", ignored)) {
    std::ifstream children(task.path() / "children");
    for (long child = 0; children >> child;) hosts += voluntary_switches(child);
  }
  return {voluntary_switches(agent), hosts};
}

long peak_memory_kib(long pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 7 && std::strcmp(argv[1], "--file-fed") == 0) return file_fed(argv[2], argv[3], argv[4], argv[5], argv[6]);
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s [--file-fed] AGENT MODULE PIN RSA_THUMBPRINT EC_THUMBPRINT\n", argv[0]);
    return 2;
  }
  const std::string agent = argv[1], module = argv[2], pin = argv[3];
  struct Key {
    const char* name;
    std::string thumbprint;
    CK_KEY_TYPE type;
    int count;
  };
  const Key keys[] = {{"RSA-2048", argv[4], CKK_RSA, 2000}, {"P-256", argv[5], CKK_EC, 5000}};

  Caller daemon(agent);
  // The floor of any answer: a round trip through the pipes with no token work.
  const double ping = daemon_rate_waiting(daemon, "{\"cmd\":\"ping\"}\n", 5000);
  std::printf("ping round trips %8.0f/s (%.1f us each)\n", ping, 1e6 / ping);
  for (const Key& key : keys) {
    daemon.write(R"({"cmd":"validate","thumbprint":")" + key.thumbprint + R"(","pin":")" + pin + "\"}\n");
    std::string answer;
    daemon.read_line(&answer);
    std::printf("validate %s: %s\n", key.name, answer.c_str());
    const std::string request = sign_request(key.thumbprint, pin);
    daemon_rate_waiting(daemon, request, key.count / 10);  // warm-up
    double raw = raw_rate(module, pin, key.type, key.count, false);
    double raw_queried = raw_rate(module, pin, key.type, key.count, true);
    const auto switched = agent_and_host_switches(daemon.id());
    double waiting = daemon_rate_waiting(daemon, request, key.count);
    const auto now_switched = agent_and_host_switches(daemon.id());
    std::printf("%-8s wake-ups per signature, caller waiting: agent %.2f, module host %.2f\n", key.name,
                double(now_switched.first - switched.first) / key.count,
                double(now_switched.second - switched.second) / key.count);
    double streaming = daemon_rate_streaming(daemon, request, key.count);
    // What the agent adds beyond the token's time (same calls) and the pipe's round trip.
    double own_us = 1e6 / waiting - 1e6 / raw_queried - 1e6 / ping;
    std::printf("%-8s raw %7.0f/s, raw with size query %7.0f/s; daemon waiting %7.0f/s (ratio %.3f to raw, %.3f to "
                "raw with size query), back to back %7.0f/s (ratio %.3f, %.3f); agent's own time %.1f us/signature\n",
                key.name, raw, raw_queried, waiting, waiting / raw, waiting / raw_queried, streaming, streaming / raw,
                streaming / raw_queried, own_us);
    // The same signatures with the algorithm named, against unnamed ones in alternating blocks.
    const std::string named = sign_request(
        key.thumbprint, pin,
        key.type == CKK_EC ? R"(,"algorithm":"ECDSA","hash":"SHA-256","signature_format":"der")" : R"(,"hash":"SHA-256")");
    double plain_total = 0, named_total = 0;
    for (int block = 0; block < 4; ++block) {
      plain_total += daemon_rate_waiting(daemon, request, key.count / 4);
      named_total += daemon_rate_waiting(daemon, named, key.count / 4);
    }
    std::printf("%-8s named algorithm %7.0f/s against unnamed %7.0f/s: ratio %.3f\n", key.name, named_total / 4,
                plain_total / 4, named_total / plain_total);
  }

  const std::string cheap = R"({"cmd":"validate","thumbprint":")" + keys[1].thumbprint + R"(","pin":")" + pin + "\"}\n";
  const std::string sign = sign_request(keys[1].thumbprint, pin);
  int sent = 0;
  auto run_to = [&](int total) {
    for (; sent < total; ++sent) {
      daemon.write(sent % 2 == 0 ? cheap : sign);
      daemon.read_line();
    }
  };
  run_to(1000);
  long after_1k = peak_memory_kib(daemon.id());
  run_to(100000);
  long after_100k = peak_memory_kib(daemon.id());
  std::printf("daemon peak memory: %ld KiB after 1,000 requests, %ld KiB after 100,000 (growth %ld KiB)\n", after_1k,
              after_100k, after_100k - after_1k);
  return daemon.finish();
}
