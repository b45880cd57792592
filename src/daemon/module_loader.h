#pragma once
// Loading several modules at once, under a deadline.
#include <chrono>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "token/module.h"

namespace p11agent {

using ModuleTable = std::unordered_map<std::string, ModulePtr>;

class LoadChannel;

// Opens modules on detached threads of their own, at most one thread per path at a time.
// A module that hangs is left behind and never started again while it hangs or waits to be
// collected; if it ever finishes, the next load collects it, and once the loader is gone
// its thread releases it. A module whose load outlasted a deadline is not waited for again
// until it has loaded: a slow module costs one deadline, not one per request. (A module in
// a host of its own is ended after SLOW_LOAD_RETRY, and started again at most that often.)
class ModuleLoader {
 public:
  ModuleLoader();
  ~ModuleLoader();
  ModuleLoader(const ModuleLoader&) = delete;
  ModuleLoader& operator=(const ModuleLoader&) = delete;

  // Starts a thread for each path that has none, then waits until those threads have
  // reported or the deadline has passed; with no thread to start, or only slow ones, it
  // does not wait. Gives what loaded, together with what earlier loads left behind and
  // has loaded since.
  ModuleTable load(const std::vector<std::string>& paths, std::chrono::milliseconds deadline);

 private:
  std::shared_ptr<LoadChannel> channel_;
};

}  // namespace p11agent
