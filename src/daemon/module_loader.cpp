#include "daemon/module_loader.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

namespace p11agent {

namespace {

// A loaded message carries its module; a failed one carries none.
struct LoadMessage {
  std::string path;
  ModulePtr module;
};

class LoadChannel {
 public:
  // False when the receiver has gone: the sender keeps (and so releases) its module.
  bool send(LoadMessage&& message) {
    std::lock_guard lock(mutex_);
    if (!receiving_) return false;
    messages_.push_back(std::move(message));
    ready_.notify_one();
    return true;
  }

  std::optional<LoadMessage> receive_until(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    if (!ready_.wait_until(lock, deadline, [&] { return !messages_.empty(); })) return std::nullopt;
    LoadMessage message = std::move(messages_.front());
    messages_.pop_front();
    return message;
  }

  void close() {
    std::deque<LoadMessage> unreceived;
    {
      std::lock_guard lock(mutex_);
      receiving_ = false;
      unreceived.swap(messages_);
    }
    // Modules that arrived too late are released here, outside the lock.
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<LoadMessage> messages_;
  bool receiving_ = true;
};

void load_one(std::shared_ptr<LoadChannel> channel, std::string path) {
  auto module = open_module(path);
  LoadMessage message{std::move(path), module ? std::move(*module) : nullptr};
  channel->send(std::move(message));
  // When the send was refused, `message` still holds the module and releases it here.
}

}  // namespace

ModuleTable load_modules_parallel(const std::vector<std::string>& paths, int deadline_seconds) {
  auto channel = std::make_shared<LoadChannel>();
  std::size_t started = 0;
  for (const std::string& path : paths) {
    try {
      std::thread(load_one, channel, path).detach();
      ++started;
    } catch (const std::system_error&) {
      // A thread that cannot start is a module that did not load.
    }
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(deadline_seconds);
  ModuleTable table;
  for (std::size_t received = 0; received < started; ++received) {
    if (std::chrono::steady_clock::now() >= deadline) break;
    auto message = channel->receive_until(deadline);
    if (!message) break;
    if (message->module) table.insert_or_assign(message->path, std::move(message->module));
  }
  channel->close();
  return table;
}

}  // namespace p11agent
