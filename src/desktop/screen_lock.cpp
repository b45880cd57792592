#include "desktop/screen_lock.h"

namespace p11agent::platform {

bool session_change_leaves(std::uint32_t change) {
  // WTS_CONSOLE_DISCONNECT (0x2), WTS_REMOTE_DISCONNECT (0x4) and WTS_SESSION_LOCK (0x7):
  // the session's screen is no longer the user's. A connect, logon, logoff (the process
  // ends with it), unlock, remote control or a session's creation or end is not leaving.
  constexpr std::uint32_t WTS_CONSOLE_DISCONNECT = 0x2;
  constexpr std::uint32_t WTS_REMOTE_DISCONNECT = 0x4;
  constexpr std::uint32_t WTS_SESSION_LOCK = 0x7;
  return change == WTS_CONSOLE_DISCONNECT || change == WTS_REMOTE_DISCONNECT || change == WTS_SESSION_LOCK;
}

}  // namespace p11agent::platform
