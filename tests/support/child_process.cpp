#include "support/child_process.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <utility>

namespace testing_support {

namespace {

// What a trace must never hold, as the agents' callers send and get it: PINs, hashes, the
// page's words, signatures, certificates and the challenges sites send. Each value is noted, one a line, in the file
// P11AGENT_TEST_SECRETS names, for the scan of every trace the test run writes.
const std::string& noted(const std::string& text) {
  static const char* file = std::getenv("P11AGENT_TEST_SECRETS");
  if (file == nullptr || *file == '\0') return text;
  std::ofstream out(file, std::ios::app | std::ios::binary);
  for (const char* key : {"\"pin\"", "\"hash_hex\"", "\"description\"", "\"signature_hex\"", "\"signature_b64\"",
                          "\"signature\"", "\"cert_der_b64\"", "\"der_b64\"", "\"challenge_nonce\"",
                          "\"unverifiedCertificate\""}) {
    for (std::size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
      std::size_t value = text.find_first_not_of(" \t:", at + std::strlen(key));
      if (value == std::string::npos || text[value] != '"') continue;
      const std::size_t end = text.find_first_of("\"\\", value + 1);
      if (end != std::string::npos) out << text.substr(value + 1, end - value - 1) << '\n';
    }
  }
  return text;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args)
    : raw_(spawn_raw(program, args)) {
  out_reader_ = std::thread([this] { pump(true); });
  err_reader_ = std::thread([this] { pump(false); });
}

ChildProcess::~ChildProcess() {
  if (!status_) {
    raw_->kill();
    wait();
  }
  out_reader_.join();
  err_reader_.join();
}

void ChildProcess::pump(bool from_stdout) {
  char buffer[65536];
  for (;;) {
    std::size_t n = from_stdout ? raw_->read_stdout(buffer, sizeof buffer) : raw_->read_stderr(buffer, sizeof buffer);
    std::lock_guard lock(mutex_);
    if (n == 0) {
      (from_stdout ? out_done_ : err_done_) = true;
      changed_.notify_all();
      return;
    }
    (from_stdout ? out_ : err_).append(buffer, n);
    changed_.notify_all();
  }
}

bool ChildProcess::write(const std::string& bytes) { return raw_->write_stdin(noted(bytes).data(), bytes.size()); }

void ChildProcess::close_stdin() { raw_->close_stdin(); }

std::optional<std::string> ChildProcess::read_line(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return out_.find('\n') != std::string::npos || out_done_; });
  auto end = out_.find('\n');
  if (end == std::string::npos) return std::nullopt;
  std::string line = out_.substr(0, end);
  out_.erase(0, end + 1);
  return noted(line);
}

std::optional<std::string> ChildProcess::read_message(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  auto whole = [&]() -> std::optional<std::size_t> {
    std::uint32_t length = 0;
    if (out_.size() < sizeof length) return std::nullopt;
    std::memcpy(&length, out_.data(), sizeof length);
    if (out_.size() - sizeof length < length) return std::nullopt;
    return length;
  };
  changed_.wait_for(lock, timeout, [&] { return whole() || out_done_; });
  const auto length = whole();
  if (!length) return std::nullopt;
  std::string message = out_.substr(sizeof(std::uint32_t), *length);
  out_.erase(0, sizeof(std::uint32_t) + *length);
  return noted(message);
}

std::string ChildProcess::read_rest() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return out_done_; });
  return noted(std::exchange(out_, {}));
}

std::string ChildProcess::stderr_text() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return err_done_; });
  return err_;
}

int ChildProcess::wait() {
  if (!status_) status_ = raw_->wait();
  return *status_;
}

void ChildProcess::kill() { raw_->kill(); }

RunResult run_program(const std::string& program, const std::vector<std::string>& args, const std::string& input) {
  ChildProcess child(program, args);
  child.write(input);
  child.close_stdin();
  RunResult result;
  result.out = child.read_rest();
  result.err = child.stderr_text();
  result.status = child.wait();
  return result;
}

}  // namespace testing_support
