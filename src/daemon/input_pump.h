#pragma once
// The caller's input, read on a thread of its own: the daemon's wait for the next request
// can then end at a time of its choosing, to watch its tokens and tell the caller, instead
// of only when bytes come.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "daemon/line_reader.h"

namespace p11agent {

class InputPump {
 public:
  // `idle` runs while a read waits, every `interval`, and once at the start of a read when
  // that long has passed since the last run (so that a caller that never pauses does not
  // stop it). It runs only in read, that is between answers.
  InputPump(ByteSource source, std::function<void()> idle, std::chrono::milliseconds interval);
  // A read the caller never ends is left to the process's end.
  ~InputPump();
  InputPump(const InputPump&) = delete;
  InputPump& operator=(const InputPump&) = delete;

  // A ByteSource: the bytes that came, waiting for some; 0 at end of input; nullopt on a
  // read error.
  std::optional<std::size_t> read(char* buffer, std::size_t capacity);
  // Whether bytes are there that no read took yet.
  bool input_waiting() const;

 private:
  struct Shared;
  // The reading thread's work: reads until the input ends, holding at most MAX_UNREAD.
  static void pump(const std::shared_ptr<Shared>& shared, const ByteSource& source);
  std::shared_ptr<Shared> shared_;
  std::function<void()> idle_;
  std::chrono::milliseconds interval_;
  std::chrono::steady_clock::time_point next_idle_;
};

}  // namespace p11agent
