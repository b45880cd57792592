#include "daemon/ticker.h"

#include <exception>

namespace p11agent {

Ticker::Ticker(std::chrono::milliseconds interval, std::function<void()> tick)
    : interval_(interval), tick_(std::move(tick)), thread_([this] { run(); }) {}

Ticker::~Ticker() {
  {
    std::lock_guard held(lock_);
    stopping_ = true;
  }
  stop_.notify_all();
  thread_.join();
}

void Ticker::run() {
  std::unique_lock held(lock_);
  while (!stop_.wait_for(held, interval_, [this] { return stopping_; })) {
    held.unlock();
    try {
      tick_();
    } catch (const std::exception&) {
      // The watch of the tokens alone fails: requests go on, and so do the next ticks.
    }
    held.lock();
  }
}

}  // namespace p11agent
