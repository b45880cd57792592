#pragma once
// A child process that does work the agent cannot trust to run inside itself, talking to
// it over a pipe in each direction; and that child's own ends of them.
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace p11agent::platform {

using Deadline = std::chrono::steady_clock::time_point;

// How a transfer with a child ended.
enum class Transfer {
  Done,
  TimedOut,  // the child took longer than the deadline
  Ended,     // the child has gone, or closed its end
};

// What the agent reads a host's answers from and writes its requests to: a host process,
// or (where the agent's reading of answers is tried on arbitrary bytes) bytes given.
class HostLink {
 public:
  virtual ~HostLink() = default;
  virtual Transfer write_all(std::span<const std::byte> bytes, Deadline deadline) = 0;
  // The bytes are asked for awake during `spin` first (an answer that comes within it
  // costs no wake-up of a sleeping process), then waited for asleep.
  virtual Transfer read_exact(std::span<std::byte> bytes, Deadline deadline, std::chrono::microseconds spin) = 0;
  // Ends the other side at once; later transfers fail.
  virtual void end() = 0;
};

class HostProcess final : public HostLink {
 public:
  // Starts `executable` with `arguments` after the ones that tell it which pipe ends are
  // its own. It holds those pipe ends and nothing else of this process: its standard
  // streams lead nowhere (nothing it prints can reach the caller, nothing the caller sends
  // can reach it) and no other handle or descriptor is inherited. The child never outlives
  // this process, however this process ends; ending it waits at most `end_grace`. Nothing
  // of this process is copied into it (Linux: posix_spawn, which copies no page tables),
  // so it may be started at any time, with any number of threads running. nullptr when it
  // cannot be started.
  static std::unique_ptr<HostProcess> start(const std::string& executable, const std::vector<std::string>& arguments,
                                            std::chrono::milliseconds end_grace);

  // Another program, with the pipes as its standard input and output (its standard error
  // leads nowhere) and, as a host, nothing else of this process. Linux only: Windows
  // starts no other program.
  static std::unique_ptr<HostProcess> start_program(const std::string& executable,
                                                    const std::vector<std::string>& arguments,
                                                    std::chrono::milliseconds end_grace);

  ~HostProcess() override;
  // One child, one owner: the owner ends it.
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  Transfer write_all(std::span<const std::byte> bytes, Deadline deadline) override;
  Transfer read_exact(std::span<std::byte> bytes, Deadline deadline, std::chrono::microseconds spin) override;

  // Ends the child at once and waits until it has gone, at most the grace it was started
  // with: a child stuck where the system cannot end it at once is reaped later.
  void end() override;

  // A program started with start_program (Linux): its input ends here (it reads the end of
  // its standard input), and how it ended once it has: its exit status, or minus the
  // signal that ended it; nullopt when it still runs at the deadline.
  void close_input();
  std::optional<int> wait_end(Deadline deadline);

  struct Handles;

 private:
  explicit HostProcess(std::unique_ptr<Handles> handles);
  std::unique_ptr<Handles> handles_;
};

// The executable this process runs, by the path it was started from.
std::string own_executable_path();

// What a program started with start_program printed before it ended, at most `most`
// bytes; nullopt when it printed more, or did not end by the deadline.
std::optional<std::string> printed(HostProcess& process, Deadline deadline, std::size_t most);

// In a child started by HostProcess: its ends of the pipes, named by the arguments it was
// given (which it removes from `arguments`). False when the arguments name none.
bool take_host_pipes(std::vector<std::string>& arguments);

// Blocking transfers on the pipes taken; false when the parent has gone.
// `soon`: the agent's next request usually follows at once (the next call of a sequence).
bool host_read_exact(std::span<std::byte> bytes, bool soon = true);
bool host_write_all(std::span<const std::byte> bytes);

// Ends this child when its parent ends, even while it is stuck in a call that never
// returns (on Windows the parent's job object does this already).
void end_with_parent();

}  // namespace p11agent::platform
