#pragma once
// Work done every so often on a thread of its own while the daemon waits for requests on
// its own thread (reading the caller's input directly, so that a request costs no hand-over
// between threads).
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace p11agent {

class Ticker {
 public:
  // `tick` runs every `interval` from now on; what it throws is dropped (the next tick
  // tries again).
  Ticker(std::chrono::milliseconds interval, std::function<void()> tick);
  // Stops, after a tick under way.
  ~Ticker();
  Ticker(const Ticker&) = delete;
  Ticker& operator=(const Ticker&) = delete;

 private:
  void run();
  std::chrono::milliseconds interval_;
  std::function<void()> tick_;
  std::mutex lock_;
  std::condition_variable stop_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace p11agent
