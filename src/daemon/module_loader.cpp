#include "daemon/module_loader.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include "token/module_host.h"

namespace p11agent {

// A loaded message carries its module; a failed one carries none.
struct LoadMessage {
  std::string path;
  ModulePtr module;
};

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::seconds slow_load_bound() {
  const ModuleHosting* hosting = module_hosting();
  return hosting != nullptr ? hosting->slow_load : SLOW_LOAD_RETRY;
}

}  // namespace

// How a load may begin.
enum class LoadStart { Refused, Awaited, InBackground };

// Between the loader and its threads: which paths have a thread, what the threads sent, and
// which paths were slow: their load outlasted a deadline that a request waited for.
class LoadChannel {
 public:
  // Refused when the path already has a thread, or its loaded module waits to be received
  // (one library, one load), or it was slow and was started less than the slow-load bound
  // ago. A slow path's load goes on in the background: no request waits for it again
  // until one of its loads has finished.
  LoadStart begin(const std::string& path) {
    std::lock_guard lock(mutex_);
    for (const LoadMessage& message : messages_)
      if (message.path == path && message.module) return LoadStart::Refused;
    if (loading_.contains(path)) return LoadStart::Refused;
    auto slow = slow_since_.find(path);
    if (slow != slow_since_.end()) {
      const auto now = Clock::now();
      if (now - slow->second < slow_load_bound()) return LoadStart::Refused;
      slow->second = now;
    }
    loading_.insert(path);
    return slow != slow_since_.end() ? LoadStart::InBackground : LoadStart::Awaited;
  }

  // Those of `started` (at `when`) still loading were slow.
  void mark_still_loading_slow(const std::set<std::string>& started, Clock::time_point when) {
    std::lock_guard lock(mutex_);
    for (const std::string& path : started)
      if (loading_.contains(path)) slow_since_.emplace(path, when);
  }

  // False when the loader has gone: the sender keeps (and so releases) its module.
  bool send(LoadMessage&& message) {
    std::lock_guard lock(mutex_);
    loading_.erase(message.path);
    if (message.module) slow_since_.erase(message.path);
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
  std::map<std::string, Clock::time_point> slow_since_;
  std::deque<LoadMessage> messages_;
  bool receiving_ = true;
};

namespace {

void load_one(std::shared_ptr<LoadChannel> channel, std::string path) {
  // A module in a host of its own goes on past the deadline a request waits for, and is
  // used once it has loaded; one that never does is ended at this bound.
  auto module = open_module(path, slow_load_bound());
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
  std::set<std::string> awaited;
  for (const std::string& path : paths) {
    if (table.contains(path)) continue;
    const LoadStart begun = channel_->begin(path);
    if (begun == LoadStart::Refused) continue;
    try {
      std::thread(load_one, channel_, path).detach();
      if (begun == LoadStart::Awaited) awaited.insert(path);
    } catch (const std::system_error&) {
      // A thread that cannot start is a module that did not load.
      channel_->send({path, nullptr});
    }
  }
  const auto started = Clock::now();
  keep_loaded(channel_->receive(awaited, awaited.empty() ? started : started + deadline));
  channel_->mark_still_loading_slow(awaited, started);
  return table;
}

}  // namespace p11agent
