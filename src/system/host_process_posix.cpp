#include "system/host_process.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

#include "system/process.h"

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

// The pipes a child is started with: the agent's ends, which do not block, and the child's,
// above the numbers the child finds them on (so that placing one cannot close the other).
struct ChildPipes {
  Fd request_read, request_write, answer_read, answer_write;
};

std::unique_ptr<ChildPipes> make_pipes() {
  int request[2];
  int answer[2];
  // Close-on-exec: no other child started meanwhile keeps these pipes open.
  if (::pipe2(request, O_CLOEXEC) != 0) return nullptr;
  auto pipes = std::make_unique<ChildPipes>();
  pipes->request_read.reset(request[0]);
  pipes->request_write.reset(request[1]);
  if (::pipe2(answer, O_CLOEXEC) != 0) return nullptr;
  pipes->answer_read.reset(answer[0]);
  pipes->answer_write.reset(answer[1]);
  for (Fd* child_end : {&pipes->request_read, &pipes->answer_write}) {
    const int above = ::fcntl(child_end->get(), F_DUPFD_CLOEXEC, CHILD_OUT + 1);
    if (above < 0) return nullptr;
    child_end->reset(above);
  }
  ::fcntl(pipes->request_write.get(), F_SETFL, O_NONBLOCK);
  ::fcntl(pipes->answer_read.get(), F_SETFL, O_NONBLOCK);
  return pipes;
}

std::vector<char*> argv_of(std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return argv;
}

// A host: started with posix_spawn, which copies nothing of this process (no page tables,
// whatever its size) and runs nothing of it in the child. Its pipe ends on CHILD_IN and
// CHILD_OUT, its standard streams on /dev/null, every other descriptor closed, no signal
// held and none ignored that this process ignores.
pid_t spawn_host(const std::string& executable, std::vector<std::string> args, const ChildPipes& pipes) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  if (::posix_spawn_file_actions_init(&actions) != 0) return -1;
  if (::posix_spawnattr_init(&attributes) != 0) {
    ::posix_spawn_file_actions_destroy(&actions);
    return -1;
  }
  sigset_t none, every;
  sigemptyset(&none);
  sigfillset(&every);
  const bool prepared =
      ::posix_spawn_file_actions_adddup2(&actions, pipes.request_read.get(), CHILD_IN) == 0 &&
      ::posix_spawn_file_actions_adddup2(&actions, pipes.answer_write.get(), CHILD_OUT) == 0 &&
      ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDWR, 0) == 0 &&
      ::posix_spawn_file_actions_adddup2(&actions, 0, 1) == 0 && ::posix_spawn_file_actions_adddup2(&actions, 0, 2) == 0 &&
      ::posix_spawn_file_actions_addclosefrom_np(&actions, CHILD_OUT + 1) == 0 &&
      ::posix_spawnattr_setsigmask(&attributes, &none) == 0 && ::posix_spawnattr_setsigdefault(&attributes, &every) == 0 &&
      ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
  pid_t pid = -1;
  std::vector<char*> argv = argv_of(args);
  if (prepared && ::posix_spawn(&pid, executable.c_str(), &actions, &attributes, argv.data(), environ) != 0) pid = -1;
  ::posix_spawn_file_actions_destroy(&actions);
  ::posix_spawnattr_destroy(&attributes);
  return pid;
}

// Another program: its pipe ends as its standard input and output, /dev/null as its
// standard error, and the system ends it with this process (it does not watch its pipes
// while it works: a prompt on the screen), which only a fork can ask for.
pid_t fork_program(const std::string& executable, std::vector<std::string> args, const ChildPipes& pipes) {
  std::vector<char*> argv = argv_of(args);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  // Only calls that are safe between fork and exec in a process with threads.
  const int null = ::open("/dev/null", O_RDWR);
  if (null < 0 || ::dup2(pipes.request_read.get(), 0) < 0 || ::dup2(pipes.answer_write.get(), 1) < 0 ||
      ::dup2(null, 2) < 0)
    ::_exit(127);
  close_from(3);
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(127);
  ::execv(executable.c_str(), argv.data());
  ::_exit(127);
}

// Where the child finds its ends of the pipes: on the numbered descriptors its last
// argument names (a host), or as its standard input and output (another program).
enum class ChildEnds { Numbered, Standard };

std::unique_ptr<HostProcess::Handles> spawn(const std::string& executable, const std::vector<std::string>& arguments,
                                            std::chrono::milliseconds end_grace, ChildEnds ends) {
  // A host only by its full path: never one the working folder supplies.
  if (ends == ChildEnds::Numbered && !executable.starts_with('/')) return nullptr;
  auto pipes = make_pipes();
  if (!pipes) return nullptr;
  std::vector<std::string> args = {executable};
  args.insert(args.end(), arguments.begin(), arguments.end());
  if (ends == ChildEnds::Numbered) args.emplace_back(CHILD_PIPES_ARGUMENT);
  const pid_t pid = ends == ChildEnds::Numbered ? spawn_host(executable, std::move(args), *pipes)
                                                : fork_program(executable, std::move(args), *pipes);
  if (pid < 0) return nullptr;
  auto handles = std::make_unique<HostProcess::Handles>();
  handles->pid = pid;
  handles->end_grace = end_grace;
  handles->to_child.reset(pipes->request_write.release());
  handles->from_child.reset(pipes->answer_read.release());
  return handles;
}

}  // namespace

std::unique_ptr<HostProcess> HostProcess::start(const std::string& executable,
                                                const std::vector<std::string>& arguments,
                                                std::chrono::milliseconds end_grace) {
  auto handles = spawn(executable, arguments, end_grace, ChildEnds::Numbered);
  return handles ? std::unique_ptr<HostProcess>(new HostProcess(std::move(handles))) : nullptr;
}

std::unique_ptr<HostProcess> HostProcess::start_program(const std::string& executable,
                                                        const std::vector<std::string>& arguments,
                                                        std::chrono::milliseconds end_grace) {
  auto handles = spawn(executable, arguments, end_grace, ChildEnds::Standard);
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

std::optional<std::string> printed(HostProcess& process, Deadline deadline, std::size_t most) {
  std::string out;
  for (;;) {
    std::byte next;
    const Transfer transfer = process.read_exact(std::span(&next, 1), deadline, std::chrono::microseconds{0});
    if (transfer == Transfer::Ended) return out;
    if (transfer == Transfer::TimedOut || out.size() >= most) return std::nullopt;
    out.push_back(static_cast<char>(next));
  }
}

std::string own_executable_path() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path);
  return n > 0 && static_cast<std::size_t>(n) < sizeof path ? std::string(path, static_cast<std::size_t>(n))
                                                             : std::string();
}

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
  if (soon && asleep_for == 0 && runs_on_several_processors() && !ready_within_spin(g_host_in, POLLIN, REQUEST_SPIN))
    asleep_for = SLEEP_AFTER_MISS;
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
