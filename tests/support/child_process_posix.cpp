#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <thread>

#include "support/child_process.h"

extern char** environ;

namespace testing_support {

namespace {

class PosixChild : public RawChild {
 public:
  PosixChild(const std::string& program, const std::vector<std::string>& args) {
    // A test that closes the agent's input must not die of SIGPIPE itself.
    std::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // The child starts with SIGPIPE at its default, as under a caller that never touched it.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t default_signals;
    sigemptyset(&default_signals);
    sigaddset(&default_signals, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &default_signals);
    // In a session of its own: no terminal of the test's reaches it, wherever the tests run.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
    if (posix_spawn(&pid_, program.c_str(), &actions, &attributes, argv.data(), environ) != 0) std::abort();
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
  }
  ~PosixChild() override {
    close_stdin();
    close_stdout();
    ::close(err_);
  }
  bool write_stdin(const char* data, std::size_t size) override {
    while (size > 0) {
      ssize_t n = ::write(in_, data, size);
      if (n <= 0) return false;
      data += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }
  void close_stdin() override {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
  }
  void close_stdout() override {
    if (out_ >= 0) ::close(out_);
    out_ = -1;
  }
  std::size_t read_stdout(char* buffer, std::size_t size) override { return read_from(out_, buffer, size); }
  std::size_t read_stderr(char* buffer, std::size_t size) override { return read_from(err_, buffer, size); }
  int wait() override {
    int status = 0;
    waitpid(pid_, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  void kill() override { ::kill(pid_, SIGKILL); }
  long id() const override { return pid_; }

 private:
  static std::size_t read_from(int fd, char* buffer, std::size_t size) {
    ssize_t n = ::read(fd, buffer, size);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
  }
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
};

}  // namespace

std::unique_ptr<RawChild> spawn_raw(const std::string& program, const std::vector<std::string>& args) {
  return std::make_unique<PosixChild>(program, args);
}

std::string executable_folder() {
  char path[PATH_MAX] = {};
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string exe(path, n > 0 ? static_cast<std::size_t>(n) : 0);
  return exe.substr(0, exe.find_last_of('/'));
}

void set_environment(const std::string& name, const std::string& value) { setenv(name.c_str(), value.c_str(), 1); }

bool process_ends_within(long id, std::chrono::milliseconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    // Gone, or a zombie that nobody reaps: it runs no more.
    std::ifstream stat("/proc/" + std::to_string(id) + "/stat");
    std::string pid, name, state;
    if (!(stat >> pid >> name >> state) || state == "Z") return true;
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace testing_support
