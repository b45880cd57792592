// The watch of the user's leaving the computer: the desktop's own announcements, believed
// only from who may make them.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "desktop/screen_lock.h"
#include "support/child_process.h"

#ifdef _WIN32
#include <windows.h>
#include <wtsapi32.h>
#else
#include <dbus/dbus.h>
#endif

namespace p11agent {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;

// Waits (10 s at most) until the condition holds; whether it did.
template <typename Condition>
bool comes_true(Condition condition) {
  for (auto until = std::chrono::steady_clock::now() + 10s; !condition(); std::this_thread::sleep_for(20ms))
    if (std::chrono::steady_clock::now() >= until) return false;
  return true;
}

// Windows' session change codes (WM_WTSSESSION_CHANGE's wParam, from the Win32 reference of
// WTSSESSION_NOTIFICATION), and which of them mean the user left the session's screen.
TEST(ScreenLock, OnlyALockOrADisconnectOfTheSessionIsLeaving) {
  const std::vector<std::pair<std::uint32_t, bool>> changes = {
      {0x1, false},  // WTS_CONSOLE_CONNECT
      {0x2, true},   // WTS_CONSOLE_DISCONNECT
      {0x3, false},  // WTS_REMOTE_CONNECT
      {0x4, true},   // WTS_REMOTE_DISCONNECT
      {0x5, false},  // WTS_SESSION_LOGON
      {0x6, false},  // WTS_SESSION_LOGOFF
      {0x7, true},   // WTS_SESSION_LOCK
      {0x8, false},  // WTS_SESSION_UNLOCK
      {0x9, false},  // WTS_SESSION_REMOTE_CONTROL
      {0xA, false},  // WTS_SESSION_CREATE
      {0xB, false},  // WTS_SESSION_TERMINATE
  };
  for (const auto& [change, leaves] : changes) EXPECT_EQ(platform::session_change_leaves(change), leaves) << change;
}

#ifdef _WIN32
// The agent's message-only window is told of the session's changes as Windows tells them.
TEST(ScreenLock, TheSessionsWindowCountsALock) {
  auto watch = platform::watch_screen_lock();
  HWND window = nullptr;
  ASSERT_TRUE(comes_true([&] { return (window = FindWindowExW(HWND_MESSAGE, nullptr, L"p11agent session watch", nullptr)) != nullptr; }));
  for (WPARAM change : {WPARAM{WTS_SESSION_UNLOCK}, WPARAM{WTS_SESSION_LOGON}, WPARAM{WTS_SESSION_LOCK}})
    SendMessageW(window, WM_WTSSESSION_CHANGE, change, 1);
  EXPECT_EQ(watch->departures(), 1u);
  SendMessageW(window, WM_WTSSESSION_CHANGE, WTS_REMOTE_DISCONNECT, 1);
  EXPECT_EQ(watch->departures(), 2u);
  watch.reset();
  EXPECT_TRUE(comes_true([] { return FindWindowExW(HWND_MESSAGE, nullptr, L"p11agent session watch", nullptr) == nullptr; }));
}
#else
// A program of the session bus: a screensaver (owning its name), or one that only claims to be.
class BusClient {
 public:
  explicit BusClient(const std::string& address) : bus_(dbus_connection_open_private(address.c_str(), nullptr)) {
    if (bus_ != nullptr) dbus_bus_register(bus_, nullptr);
  }
  ~BusClient() {
    if (bus_ == nullptr) return;
    dbus_connection_close(bus_);
    dbus_connection_unref(bus_);
  }
  BusClient(const BusClient&) = delete;
  BusClient& operator=(const BusClient&) = delete;

  bool own(const char* name) {
    return dbus_bus_request_name(bus_, name, DBUS_NAME_FLAG_DO_NOT_QUEUE, nullptr) == DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER;
  }
  std::string name() const { return dbus_bus_get_unique_name(bus_); }
  // ActiveChanged(active) of the screensaver at `path`: to every listener, or to one.
  void announce(const char* path, const char* interface, bool active, const std::string& to = "") {
    DBusMessage* signal = dbus_message_new_signal(path, interface, "ActiveChanged");
    dbus_bool_t value = active ? TRUE : FALSE;
    dbus_message_append_args(signal, DBUS_TYPE_BOOLEAN, &value, DBUS_TYPE_INVALID);
    if (!to.empty()) dbus_message_set_destination(signal, to.c_str());
    dbus_connection_send(bus_, signal, nullptr);
    dbus_connection_flush(bus_);
    dbus_message_unref(signal);
  }
  // The unique names on the bus.
  std::vector<std::string> everyone() {
    DBusMessage* call = dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "ListNames");
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus_, call, 2000, nullptr);
    dbus_message_unref(call);
    std::vector<std::string> names;
    if (reply == nullptr) return names;
    char** list = nullptr;
    int count = 0;
    if (dbus_message_get_args(reply, nullptr, DBUS_TYPE_ARRAY, DBUS_TYPE_STRING, &list, &count, DBUS_TYPE_INVALID)) {
      for (int i = 0; i < count; ++i)
        if (list[i][0] == ':') names.emplace_back(list[i]);
      dbus_free_string_array(list);
    }
    dbus_message_unref(reply);
    return names;
  }

 private:
  DBusConnection* bus_;
};

// On a session bus of the test's own: a screensaver's ActiveChanged(true) is a departure,
// from either desktop's screensaver; the same from a program that does not own the name (to
// everyone, or to the agent alone), from the owner at another object path, or
// ActiveChanged(false) is not; and where there is no
// session bus the agent runs on without one and says so.
TEST(ScreenLock, TheScreensaverOnTheSessionBusTellsALock) {
  ChildProcess bus_daemon("/usr/bin/dbus-daemon", {"--session", "--nofork", "--print-address=1"});
  const std::string address = bus_daemon.read_line(10s).value_or("");
  ASSERT_FALSE(address.empty());
  set_environment("DBUS_SESSION_BUS_ADDRESS", address);
  set_environment("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/system_bus_socket");
  BusClient freedesktop(address), gnome(address), impostor(address);
  ASSERT_TRUE(freedesktop.own("org.freedesktop.ScreenSaver"));
  ASSERT_TRUE(gnome.own("org.gnome.ScreenSaver"));
  auto watch = platform::watch_screen_lock();
  ASSERT_NE(watch, nullptr);
  const char* path = "/org/freedesktop/ScreenSaver";
  const char* interface = "org.freedesktop.ScreenSaver";
  // Told from the moment the watch listens.
  ASSERT_TRUE(comes_true([&] {
    freedesktop.announce(path, interface, true);
    return watch->departures() > 0;
  }));
  std::this_thread::sleep_for(200ms);
  const std::uint64_t before = watch->departures();
  freedesktop.announce(path, interface, false);
  // The name's owner, at an object path that is not the screensaver's: not its lock.
  freedesktop.announce("/org/freedesktop/ScreenSaver/Elsewhere", interface, true);
  gnome.announce(path, "org.gnome.ScreenSaver", true);
  impostor.announce(path, interface, true);
  for (const std::string& name : impostor.everyone())
    if (name != impostor.name() && name != freedesktop.name() && name != gnome.name()) {
      impostor.announce(path, interface, true, name);
      // Sent to the agent alone, no match rule stands between: the agent's own check does.
      freedesktop.announce("/org/freedesktop/ScreenSaver/Elsewhere", interface, true, name);
    }
  gnome.announce("/org/gnome/ScreenSaver", "org.gnome.ScreenSaver", true);
  ASSERT_TRUE(comes_true([&] { return watch->departures() > before; }));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(watch->departures(), before + 1);
  EXPECT_EQ(platform::screen_lock_report().problem, "");
  watch.reset();

  set_environment("DBUS_SESSION_BUS_ADDRESS", "");
  EXPECT_EQ(platform::screen_lock_report().problem,
            "no session bus here (DBUS_SESSION_BUS_ADDRESS is not set): a screensaver's lock is not seen");
  EXPECT_NE(platform::watch_screen_lock(), nullptr);
}
#endif

}  // namespace
}  // namespace p11agent
