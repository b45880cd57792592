#include "daemon/input_pump.h"

#include <array>
#include <atomic>
#include <thread>

namespace p11agent {

namespace {
// The reader waits while this much is unread, so that a caller that writes without end
// does not fill the agent's memory.
constexpr std::size_t MAX_UNREAD = 4u << 20;
// A caller that signs in a loop sends its next request within tens of microseconds of the
// answer: looking for it this long before going to sleep spares the wake-up of a second
// thread per request (the reading thread's is the one the direct read had too).
constexpr std::chrono::microseconds INPUT_SPIN{200};
}  // namespace

struct InputPump::Shared {
  std::mutex lock;
  std::condition_variable changed;
  WipedString unread;
  bool ended = false;
  bool failed = false;
  std::atomic<bool> readable{false};  // unread bytes or the end: a read would not wait
};

void InputPump::pump(const std::shared_ptr<Shared>& shared, const ByteSource& source) {
  std::array<char, 65536> chunk{};
  for (;;) {
    auto got = source(chunk.data(), chunk.size());
    std::unique_lock held(shared->lock);
    if (!got || *got == 0) {
      shared->failed = !got;
      shared->ended = true;
      shared->readable = true;
      shared->changed.notify_all();
      return;
    }
    shared->unread.append(chunk.data(), *got);
    platform::secure_zero(chunk.data(), *got);
    shared->readable = true;
    shared->changed.notify_all();
    shared->changed.wait(held, [&] { return shared->unread.size() < MAX_UNREAD; });
  }
}

InputPump::InputPump(ByteSource source, std::function<void()> idle, std::chrono::milliseconds interval)
    : shared_(std::make_shared<Shared>()),
      idle_(std::move(idle)),
      interval_(interval),
      next_idle_(std::chrono::steady_clock::now() + interval) {
  std::thread(pump, shared_, std::move(source)).detach();
}

InputPump::~InputPump() = default;

std::optional<std::size_t> InputPump::read(char* buffer, std::size_t capacity) {
  for (;;) {
    if (std::chrono::steady_clock::now() >= next_idle_) {
      idle_();
      next_idle_ = std::chrono::steady_clock::now() + interval_;
    }
    for (auto spin_until = std::chrono::steady_clock::now() + INPUT_SPIN;
         !shared_->readable && std::chrono::steady_clock::now() < spin_until;) {
    }
    std::unique_lock held(shared_->lock);
    if (shared_->changed.wait_until(held, next_idle_, [&] { return !shared_->unread.empty() || shared_->ended; })) {
      if (shared_->unread.empty()) return shared_->failed ? std::nullopt : std::optional<std::size_t>(0);
      const std::size_t count = std::min(capacity, shared_->unread.size());
      std::copy_n(shared_->unread.data(), count, buffer);
      shared_->unread.erase_front(count);
      shared_->readable = !shared_->unread.empty() || shared_->ended;
      shared_->changed.notify_all();
      return count;
    }
  }
}

bool InputPump::input_waiting() const {
  std::lock_guard held(shared_->lock);
  return !shared_->unread.empty();
}

}  // namespace p11agent
