#include "daemon/module_loader.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

namespace p11agent {

// A loaded message carries its module; a failed one carries none.
struct LoadMessage {
  std::string path;
  ModulePtr module;
};

// Between the loader and its threads: which paths have a thread, and what the threads sent.
class LoadChannel {
 public:
  // False when the path already has a thread, or its loaded module waits to be received:
  // one library, one load.
  bool begin(const std::string& path) {
    std::lock_guard lock(mutex_);
    for (const LoadMessage& message : messages_)
      if (message.path == path && message.module) return false;
    return loading_.insert(path).second;
  }

  // False when the loader has gone: the sender keeps (and so releases) its module.
  bool send(LoadMessage&& message) {
    std::lock_guard lock(mutex_);
    loading_.erase(message.path);
    if (!receiving_) return false;
    messages_.push_back(std::move(message));
    ready_.notify_one();
    return true;
  }

  // Every message sent so far; waits until none of `awaited` is loading or the deadline
  // has passed.
  std::deque<LoadMessage> receive(const std::set<std::string>& awaited, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    ready_.wait_until(lock, deadline, [&] {
      for (const std::string& path : awaited)
        if (loading_.contains(path)) return false;
      return true;
    });
    std::deque<LoadMessage> received;
    received.swap(messages_);
    return received;
  }

  void close() {
    std::deque<LoadMessage> unreceived;
    {
      std::lock_guard lock(mutex_);
      receiving_ = false;
      unreceived.swap(messages_);
    }
    // Modules that arrived after the last load are released here, outside the lock.
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::set<std::string> loading_;
  std::deque<LoadMessage> messages_;
  bool receiving_ = true;
};

namespace {

constexpr std::chrono::milliseconds HOSTED_LOAD_GRACE{500};

void load_one(std::shared_ptr<LoadChannel> channel, std::string path, std::chrono::seconds deadline) {
  auto module = open_module(path, deadline);
  LoadMessage message{std::move(path), module ? std::move(*module) : nullptr};
  channel->send(std::move(message));
  // When the send was refused, `message` still holds the module and releases it here.
}

}  // namespace

ModuleLoader::ModuleLoader() : channel_(std::make_shared<LoadChannel>()) {}

ModuleLoader::~ModuleLoader() { channel_->close(); }

ModuleTable ModuleLoader::load(const std::vector<std::string>& paths, std::chrono::milliseconds deadline) {
  ModuleTable table;
  auto keep_loaded = [&](std::deque<LoadMessage> messages) {
    for (LoadMessage& message : messages)
      if (message.module) table.insert_or_assign(message.path, std::move(message.module));
  };
  // What earlier loads finished since comes first: such a module is not loaded twice.
  keep_loaded(channel_->receive({}, std::chrono::steady_clock::now()));
  std::set<std::string> started;
  for (const std::string& path : paths) {
    if (table.contains(path) || !channel_->begin(path)) continue;
    try {
      std::thread(load_one, channel_, path, std::chrono::ceil<std::chrono::seconds>(deadline)).detach();
      started.insert(path);
    } catch (const std::system_error&) {
      // A thread that cannot start is a module that did not load.
      channel_->send({path, nullptr});
    }
  }
  // A module in a host of its own gives up at the deadline itself; the moment past it lets
  // that failure be reported by this load rather than linger into the next one.
  const auto until = started.empty() ? std::chrono::steady_clock::now()
                                     : std::chrono::steady_clock::now() + deadline + HOSTED_LOAD_GRACE;
  keep_loaded(channel_->receive(started, until));
  return table;
}

}  // namespace p11agent
