#pragma once
// Runs the agent as a caller would: standard input and output through pipes.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// The operating-system side of a child with three pipes.
class RawChild {
 public:
  virtual ~RawChild() = default;
  virtual bool write_stdin(const char* data, std::size_t size) = 0;
  virtual void close_stdin() = 0;
  // The caller stops reading: the child's writes to standard output fail from then on.
  virtual void close_stdout() = 0;
  // Blocking read; 0 at end of stream.
  virtual std::size_t read_stdout(char* buffer, std::size_t size) = 0;
  virtual std::size_t read_stderr(char* buffer, std::size_t size) = 0;
  virtual int wait() = 0;
  virtual void kill() = 0;
  virtual long id() const = 0;
};

std::unique_ptr<RawChild> spawn_raw(const std::string& program, const std::vector<std::string>& args);

class ChildProcess {
 public:
  ChildProcess(const std::string& program, const std::vector<std::string>& args);
  ~ChildProcess();

  bool write(const std::string& bytes);
  void close_stdin();
  // The next output line without "\n"; nullopt at end of output or after the timeout.
  std::optional<std::string> read_line(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // The next native message (a 32-bit length, then that many bytes) without its length;
  // nullopt at end of output or after the timeout.
  std::optional<std::string> read_message(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Everything the child writes until it closes its output.
  std::string read_rest();
  std::string stderr_text();
  int wait();
  // Ends the child outright, as a task manager would.
  void kill();

 private:
  void pump(bool from_stdout);
  std::unique_ptr<RawChild> raw_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string out_, err_;
  bool out_done_ = false, err_done_ = false;
  std::thread out_reader_, err_reader_;
  std::optional<int> status_;
};

struct RunResult {
  std::string out;
  std::string err;
  int status;
};

// One-shot run: writes the input, closes standard input, collects everything.
RunResult run_program(const std::string& program, const std::vector<std::string>& args, const std::string& input);

// Whether the process with this id has ended (or is a zombie) within the timeout.
bool process_ends_within(long id, std::chrono::milliseconds timeout);

// The folder of the running test executable.
std::string executable_folder();
void set_environment(const std::string& name, const std::string& value);

}  // namespace testing_support
