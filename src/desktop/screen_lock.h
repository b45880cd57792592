#pragma once
// Whether the user has left the computer: the screen locked, or the session switched away
// or disconnected, as the desktop announces it. Watched on a thread of its own.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace p11agent::platform {

class ScreenLockWatch {
 public:
  virtual ~ScreenLockWatch() = default;
  // How many times the user left since the watch began; read from any thread.
  std::uint64_t departures() const { return departures_->load(); }

 protected:
  // Shared with the watch's thread, which may outlive the watch while it waits on the desktop.
  std::shared_ptr<std::atomic<std::uint64_t>> departures_ = std::make_shared<std::atomic<std::uint64_t>>(0);
};

// Starts watching; nullptr where nothing can be watched here (screen_lock_report says why).
std::unique_ptr<ScreenLockWatch> watch_screen_lock();

// For a report on the installation: what the agent learns a lock from here, and where it
// can learn it from nothing, why.
struct ScreenLockReport {
  std::string sources;
  std::string problem;
};
ScreenLockReport screen_lock_report();

// Windows' WM_WTSSESSION_CHANGE codes, as the WTSSESSION_NOTIFICATION reference of the
// Win32 documentation gives them, and whether the user left with it.
bool session_change_leaves(std::uint32_t change);

}  // namespace p11agent::platform
