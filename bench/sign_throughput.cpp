// Signatures per second: the daemon over its pipe against raw C_SignInit/C_Sign on one
// logged-in session, on the same token and key, in one run. Also the daemon's peak
// memory after 1,000 and after 100,000 requests.
//
// usage: p11agent_bench_sign AGENT MODULE PIN RSA_THUMBPRINT EC_THUMBPRINT
// (the agent must reach the same token through its known modules)
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bare_pkcs11.h"
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
double raw_rate(const std::string& module_path, const std::string& pin, CK_KEY_TYPE key_type, int count,
                bool size_query) {
  bench::BareModule module(module_path);
  CK_SESSION_HANDLE session = module.open_session(module.first_initialised_slot(), pin);
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

std::string sign_request(const std::string& thumbprint, const std::string& pin) {
  return R"({"cmd":"sign","thumbprint":")" + thumbprint + R"(","pin":")" + pin + R"(","hash_hex":")" +
         std::string(64, '4') + "\"}\n";
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

long peak_memory_kib(long pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s AGENT MODULE PIN RSA_THUMBPRINT EC_THUMBPRINT\n", argv[0]);
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
    double waiting = daemon_rate_waiting(daemon, request, key.count);
    double streaming = daemon_rate_streaming(daemon, request, key.count);
    // What the agent adds beyond the token's time (same calls) and the pipe's round trip.
    double own_us = 1e6 / waiting - 1e6 / raw_queried - 1e6 / ping;
    std::printf("%-8s raw %7.0f/s, raw with size query %7.0f/s; daemon waiting %7.0f/s (ratio %.3f to raw, %.3f to "
                "raw with size query), back to back %7.0f/s (ratio %.3f, %.3f); agent's own time %.1f us/signature\n",
                key.name, raw, raw_queried, waiting, waiting / raw, waiting / raw_queried, streaming, streaming / raw,
                streaming / raw_queried, own_us);
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
