#include "platform/host_process.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

#include "platform/process.h"

namespace p11agent::platform {

namespace {

// The descriptors a child finds its pipe ends on, named by its last argument.
constexpr int CHILD_IN = 3;
constexpr int CHILD_OUT = 4;
constexpr const char* CHILD_PIPES_ARGUMENT = "3,4";

int g_host_in = -1;
int g_host_out = -1;

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// Milliseconds left until the deadline, for poll.
int millis_until(Deadline deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
  if (left <= 0) return 0;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// The agent's next call of a sequence usually comes within microseconds: asking again for
// a while costs less than the wake-up of a process that went to sleep (tens of
// microseconds on an idle processor), which every call would pay.
constexpr std::chrono::microseconds REQUEST_SPIN{200};
constexpr int SLEEP_AFTER_MISS = 32;

bool ready_within_spin(int fd, short events, std::chrono::microseconds spin) {
  const auto until = std::chrono::steady_clock::now() + spin;
  do {
    pollfd p{fd, events, 0};
    if (::poll(&p, 1, 0) != 0) return true;
  } while (std::chrono::steady_clock::now() < until);
  return false;
}

// Waits until the descriptor is ready for `events`, asked for awake during `spin` first;
// false when the deadline passed first.
bool wait_ready(int fd, short events, Deadline deadline, std::chrono::microseconds spin) {
  if (ready_within_spin(fd, events, spin)) return true;
  for (;;) {
    pollfd p{fd, events, 0};
    int n = ::poll(&p, 1, millis_until(deadline));
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return true;  // the read or write that follows reports it
  }
}

// Moves every byte with `step` (a read or a write on `fd`). Without a deadline the
// descriptor blocks; with one it does not, and a step that would block waits for it.
template <typename Bytes, typename Step>
Transfer transfer_all(int fd, Bytes bytes, short events, std::optional<Deadline> deadline, Step step,
                      std::chrono::microseconds spin = std::chrono::microseconds{0}) {
  while (!bytes.empty()) {
    ssize_t n = step(fd, bytes.data(), bytes.size());
    if (n > 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN && deadline) {
      if (!wait_ready(fd, events, *deadline, spin)) return Transfer::TimedOut;
      continue;
    }
    return Transfer::Ended;
  }
  return Transfer::Done;
}

// A write to a child that has gone fails with EPIPE and never raises SIGPIPE, whether or
// not this process ignores the signal (a program that uses the hosts need not): the signal
// is held for this thread during the write, and one the write raised is taken before the
// thread's mask is put back (where the thread held it already, it stays the caller's).
ssize_t write_to_child(int fd, const void* data, std::size_t size) {
  sigset_t pipe_signal, before;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  if (::pthread_sigmask(SIG_BLOCK, &pipe_signal, &before) != 0) return ::write(fd, data, size);
  const ssize_t written = ::write(fd, data, size);
  const int error = errno;
  if (written < 0 && error == EPIPE && sigismember(&before, SIGPIPE) == 0) {
    const timespec none{0, 0};
    while (::sigtimedwait(&pipe_signal, nullptr, &none) < 0 && errno == EINTR) {
    }
  }
  (void)::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  errno = error;
  return written;
}

// Closes every descriptor from `first` up; safe between fork and exec.
void close_from(int first) {
  if (::close_range(static_cast<unsigned>(first), ~0U, 0) == 0) return;
  rlimit open_files{};
  const rlim_t last = ::getrlimit(RLIMIT_NOFILE, &open_files) == 0 && open_files.rlim_cur != RLIM_INFINITY
                          ? open_files.rlim_cur
                          : 65536;
  for (rlim_t fd = static_cast<rlim_t>(first); fd < last; ++fd) ::close(static_cast<int>(fd));
}

// Children killed that had not gone within their grace: reaped when they have.
std::mutex g_unreaped_lock;
std::vector<pid_t> g_unreaped;

void reap_left_behind() {
  std::lock_guard lock(g_unreaped_lock);
  std::erase_if(g_unreaped, [](pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) != 0; });
}

// Waits for the killed child until the grace has passed; false when it has not gone.
bool reaped_within(pid_t pid, std::chrono::milliseconds grace) {
  const auto until = std::chrono::steady_clock::now() + grace;
  for (;;) {
    pid_t reaped = ::waitpid(pid, nullptr, WNOHANG);
    if (reaped == pid || (reaped < 0 && errno != EINTR)) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace

struct HostProcess::Handles {
  pid_t pid = -1;
  Fd to_child;
  Fd from_child;
  std::chrono::milliseconds end_grace{0};
};

namespace {

// Whether this process runs one thread only: a copy of it made then holds no lock that
// another thread took.
bool single_threaded() {
  std::error_code error;
  auto tasks = std::filesystem::directory_iterator("/proc/self/task", error);
  return !error && std::distance(tasks, std::filesystem::directory_iterator()) == 1;
}

// Where the child finds its ends of the pipes: on the numbered descriptors its last
// argument names (a host), or as its standard input and output (another program).
enum class ChildEnds { Numbered, Standard };

// The child's pipes and process; it runs `copy_runs` in place of `executable` when given.
std::unique_ptr<HostProcess::Handles> spawn(const std::string& executable, const std::vector<std::string>& arguments,
                                            std::chrono::milliseconds end_grace, HostProcess::HostMain copy_runs,
                                            ChildEnds ends = ChildEnds::Numbered) {
  int request[2];
  int answer[2];
  // Close-on-exec: no other child started meanwhile keeps these pipes open.
  if (::pipe2(request, O_CLOEXEC) != 0) return nullptr;
  Fd request_read(request[0]), request_write(request[1]);
  if (::pipe2(answer, O_CLOEXEC) != 0) return nullptr;
  Fd answer_read(answer[0]), answer_write(answer[1]);

  std::vector<std::string> args = {executable};
  args.insert(args.end(), arguments.begin(), arguments.end());
  if (ends == ChildEnds::Numbered) args.emplace_back(CHILD_PIPES_ARGUMENT);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid < 0) return nullptr;
  if (pid == 0) {
    // Only calls that are safe between fork and exec in a process with threads.
    int in = ::fcntl(request_read.get(), F_DUPFD, 10);
    int out = ::fcntl(answer_write.get(), F_DUPFD, 10);
    int null = ::open("/dev/null", O_RDWR);
    if (in < 0 || out < 0 || null < 0) ::_exit(127);
    if (ends == ChildEnds::Standard) {
      if (::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(null, 2) < 0) ::_exit(127);
      close_from(3);
      // Another program does not watch its pipes while it works (a prompt on the screen):
      // the system ends it with this process.
      if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(127);
    } else {
      if (::dup2(in, CHILD_IN) < 0 || ::dup2(out, CHILD_OUT) < 0) ::_exit(127);
      for (int fd = 0; fd <= 2; ++fd) ::dup2(null, fd);
      // The caller's descriptors that lack close-on-exec, and the copies made above, stay here.
      close_from(CHILD_OUT + 1);
    }
    // A copy runs the host's work in place: nothing to load and link again.
    if (copy_runs != nullptr) copy_runs(std::vector<std::string>(args.begin() + 1, args.end()));
    ::execv(executable.c_str(), argv.data());
    ::_exit(127);
  }
  auto handles = std::make_unique<HostProcess::Handles>();
  handles->pid = pid;
  handles->end_grace = end_grace;
  ::fcntl(request_write.get(), F_SETFL, O_NONBLOCK);
  ::fcntl(answer_read.get(), F_SETFL, O_NONBLOCK);
  handles->to_child.reset(request_write.release());
  handles->from_child.reset(answer_read.release());
  return handles;
}

}  // namespace

std::unique_ptr<HostProcess> HostProcess::start(const std::string& executable,
                                                const std::vector<std::string>& arguments,
                                                std::chrono::milliseconds end_grace) {
  auto handles = spawn(executable, arguments, end_grace, nullptr);
  return handles ? std::unique_ptr<HostProcess>(new HostProcess(std::move(handles))) : nullptr;
}

std::unique_ptr<HostProcess> HostProcess::start_copy(HostMain host_main, const std::string& executable,
                                                     const std::vector<std::string>& arguments,
                                                     std::chrono::milliseconds end_grace) {
  // A copy made once a request may be in memory would hold it: a started host instead.
  const bool may_copy = single_threaded() && !has_read_input();
  auto handles = spawn(executable, arguments, end_grace, may_copy ? host_main : nullptr);
  return handles ? std::unique_ptr<HostProcess>(new HostProcess(std::move(handles))) : nullptr;
}

std::unique_ptr<HostProcess> HostProcess::start_program(const std::string& executable,
                                                        const std::vector<std::string>& arguments,
                                                        std::chrono::milliseconds end_grace) {
  auto handles = spawn(executable, arguments, end_grace, nullptr, ChildEnds::Standard);
  return handles ? std::unique_ptr<HostProcess>(new HostProcess(std::move(handles))) : nullptr;
}

HostProcess::HostProcess(std::unique_ptr<Handles> handles) : handles_(std::move(handles)) {}

HostProcess::~HostProcess() { end(); }

Transfer HostProcess::write_all(std::span<const std::byte> bytes, Deadline deadline) {
  if (handles_->pid < 0) return Transfer::Ended;
  return transfer_all(handles_->to_child.get(), bytes, POLLOUT, deadline, write_to_child);
}

Transfer HostProcess::read_exact(std::span<std::byte> bytes, Deadline deadline, std::chrono::microseconds spin) {
  if (handles_->pid < 0) return Transfer::Ended;
  return transfer_all(handles_->from_child.get(), bytes, POLLIN, deadline, ::read, spin);
}

void HostProcess::close_input() { handles_->to_child.reset(); }

std::optional<int> HostProcess::wait_end(Deadline deadline) {
  if (handles_->pid < 0) return std::nullopt;
  for (;;) {
    int status = 0;
    const pid_t reaped = ::waitpid(handles_->pid, &status, WNOHANG);
    if (reaped == handles_->pid) {
      handles_->pid = -1;
      handles_->from_child.reset();
      return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
    }
    if ((reaped < 0 && errno != EINTR) || std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void HostProcess::end() {
  if (handles_->pid < 0) return;
  handles_->to_child.reset();
  handles_->from_child.reset();
  ::kill(handles_->pid, SIGKILL);
  reap_left_behind();
  if (!reaped_within(handles_->pid, handles_->end_grace)) {
    std::lock_guard lock(g_unreaped_lock);
    g_unreaped.push_back(handles_->pid);
  }
  handles_->pid = -1;
}

std::string own_executable_path() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path);
  return n > 0 && static_cast<std::size_t>(n) < sizeof path ? std::string(path, static_cast<std::size_t>(n))
                                                             : std::string();
}

std::string own_program_for_children() { return "/proc/self/exe"; }

bool take_host_pipes(std::vector<std::string>& arguments) {
  if (arguments.empty() || arguments.back() != CHILD_PIPES_ARGUMENT) return false;
  arguments.pop_back();
  g_host_in = CHILD_IN;
  g_host_out = CHILD_OUT;
  return true;
}

bool host_read_exact(std::span<std::byte> bytes, bool soon) {
  // A spin the request outlasted only took a processor (and the scheduler's preference for
  // a waking process): the next requests are waited for asleep.
  static int asleep_for = 0;
  if (soon && asleep_for == 0 && !ready_within_spin(g_host_in, POLLIN, REQUEST_SPIN)) asleep_for = SLEEP_AFTER_MISS;
  else if (asleep_for > 0) --asleep_for;
  return transfer_all(g_host_in, bytes, POLLIN, std::nullopt, ::read) == Transfer::Done;
}

bool host_write_all(std::span<const std::byte> bytes) {
  return transfer_all(g_host_out, bytes, POLLOUT, std::nullopt, ::write) == Transfer::Done;
}

void end_with_parent() {
  // The parent's end of the request pipe closes when it ends, killed included: the read
  // end then reports a hang-up, also while the main thread is inside the module.
  std::thread([] {
    pollfd p{g_host_in, 0, 0};
    while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
    ::_exit(0);
  }).detach();
}

}  // namespace p11agent::platform
