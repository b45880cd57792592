// The screen lock on Linux: the desktop's screensaver on the session bus (ActiveChanged(true)
// of org.freedesktop.ScreenSaver, which KDE and others own, and of org.gnome.ScreenSaver) and
// logind's Lock of the agent's own session on the system bus, each believed only from the
// process that owns the name it is announced under. The bus addresses are taken as given:
// nothing is started to find a bus (libdbus's autolaunch would start one). libdbus is bound
// where a watch or a report first needs it, never at the agent's start.
#include "desktop/screen_lock.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>
#include <vector>

#include "system/late_libraries_posix.h"

namespace p11agent::platform {

namespace {

// Bound by the watch's thread or the report before anything here is called.
const LibDbus& bus_library() { return *libdbus(); }

constexpr const char* SYSTEM_BUS_DEFAULT = "unix:path=/run/dbus/system_bus_socket";
constexpr const char* LOGIND = "org.freedesktop.login1";
// A bus that does not answer a call within this is not waited for longer.
constexpr int CALL_TIMEOUT_MS = 2000;

struct CloseBus {
  void operator()(DBusConnection* bus) const {
    bus_library().dbus_connection_close(bus);
    bus_library().dbus_connection_unref(bus);
  }
};
using BusPtr = std::unique_ptr<DBusConnection, CloseBus>;
struct UnrefMessage {
  void operator()(DBusMessage* message) const { bus_library().dbus_message_unref(message); }
};
using MessagePtr = std::unique_ptr<DBusMessage, UnrefMessage>;

// libdbus's error record, freed with it.
struct BusError {
  BusError() { bus_library().dbus_error_init(&error); }
  ~BusError() { bus_library().dbus_error_free(&error); }
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;
  DBusError error;
};

// Who may say the user left, and how: a signal of this name's owner.
struct Announcer {
  std::string name;
  std::string path;
  std::string interface;
  std::string member;
};

std::vector<Announcer> screensavers() {
  return {{"org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver", "ActiveChanged"},
          {"org.gnome.ScreenSaver", "/org/gnome/ScreenSaver", "org.gnome.ScreenSaver", "ActiveChanged"}};
}

const char* session_bus_address() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  return address != nullptr && *address != '\0' ? address : nullptr;
}

const char* system_bus_address() {
  const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  return address != nullptr && *address != '\0' ? address : SYSTEM_BUS_DEFAULT;
}

// A private connection of the agent's own: its end never ends the process.
BusPtr connect_bus(const char* address) {
  if (address == nullptr) return nullptr;
  BusError error;
  BusPtr bus(bus_library().dbus_connection_open_private(address, &error.error));
  if (!bus) return nullptr;
  bus_library().dbus_connection_set_exit_on_disconnect(bus.get(), FALSE);
  if (!bus_library().dbus_bus_register(bus.get(), &error.error)) return nullptr;
  return bus;
}

// A call to a bus service and its answer; nullptr when it failed.
MessagePtr call(DBusConnection* bus, const char* service, const char* path, const char* interface, const char* method,
                int first_type, const void* first_value) {
  MessagePtr message(bus_library().dbus_message_new_method_call(service, path, interface, method));
  if (!message || !bus_library().dbus_message_append_args(message.get(), first_type, first_value, DBUS_TYPE_INVALID)) return nullptr;
  BusError error;
  return MessagePtr(bus_library().dbus_connection_send_with_reply_and_block(bus, message.get(), CALL_TIMEOUT_MS, &error.error));
}

// The one text or object path an answer carries; "" when it carries none.
std::string single_text(DBusMessage* answer, int type) {
  if (answer == nullptr) return "";
  BusError error;
  const char* text = nullptr;
  if (!bus_library().dbus_message_get_args(answer, &error.error, type, &text, DBUS_TYPE_INVALID) || text == nullptr) return "";
  return text;
}

std::string name_owner(DBusConnection* bus, const std::string& name) {
  const char* asked = name.c_str();
  return single_text(call(bus, DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "GetNameOwner", DBUS_TYPE_STRING,
                          &asked).get(),
                     DBUS_TYPE_STRING);
}

// logind's object of the session this process runs in; "" outside one.
std::string own_login_session(DBusConnection* bus) {
  const dbus_uint32_t pid = static_cast<dbus_uint32_t>(::getpid());
  return single_text(call(bus, LOGIND, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "GetSessionByPID",
                          DBUS_TYPE_UINT32, &pid).get(),
                     DBUS_TYPE_OBJECT_PATH);
}

bool subscribe(DBusConnection* bus, const Announcer& announcer) {
  const std::string rule = "type='signal',sender='" + announcer.name + "',path='" + announcer.path + "',interface='" +
                           announcer.interface + "',member='" + announcer.member + "'";
  BusError error;
  bus_library().dbus_bus_add_match(bus, rule.c_str(), &error.error);
  return !bus_library().dbus_error_is_set(&error.error);
}

// Whether the message says the user left: the announcer's signal (a screensaver's with
// `true`), sent by the owner of its name now. A bus delivers signals sent to the agent by
// name to it whatever its rules, so the sender is asked for each.
bool says_user_left(DBusConnection* bus, DBusMessage* message, const Announcer& announcer) {
  if (!bus_library().dbus_message_is_signal(message, announcer.interface.c_str(), announcer.member.c_str()) ||
      !bus_library().dbus_message_has_path(message, announcer.path.c_str()))
    return false;
  if (announcer.member == "ActiveChanged") {
    BusError error;
    dbus_bool_t active = FALSE;
    if (!bus_library().dbus_message_get_args(message, &error.error, DBUS_TYPE_BOOLEAN, &active, DBUS_TYPE_INVALID) || !active)
      return false;
  }
  const char* sender = bus_library().dbus_message_get_sender(message);
  return sender != nullptr && name_owner(bus, announcer.name) == sender;
}

// A bus and whom the agent listens to on it.
struct Listening {
  BusPtr bus;
  std::vector<Announcer> announcers;
};

// The buses of this machine, with what each can announce: the screensavers on the session
// bus, logind for this session on the system bus. A bus that cannot be reached is left out.
std::vector<Listening> reachable_buses() {
  std::vector<Listening> buses;
  if (BusPtr session = connect_bus(session_bus_address())) buses.push_back({std::move(session), screensavers()});
  if (BusPtr system = connect_bus(system_bus_address())) {
    if (std::string session = own_login_session(system.get()); !session.empty())
      buses.push_back({std::move(system), {{LOGIND, session, "org.freedesktop.login1.Session", "Lock"}}});
  }
  return buses;
}

// Counts what the buses announce until `stop` can be read (its other end closed).
void listen(int stop, const std::shared_ptr<std::atomic<std::uint64_t>>& departures) {
  std::vector<Listening> buses;
  if (libdbus() != nullptr) {
    bus_library().dbus_threads_init_default();
    buses = reachable_buses();
  }
  for (Listening& listening : buses)
    std::erase_if(listening.announcers, [&](const Announcer& announcer) { return !subscribe(listening.bus.get(), announcer); });
  for (;;) {
    std::vector<pollfd> watched{{stop, POLLIN, 0}};
    for (Listening& listening : buses) {
      // What arrived during a call is queued already.
      while (MessagePtr message{bus_library().dbus_connection_pop_message(listening.bus.get())})
        for (const Announcer& announcer : listening.announcers)
          if (says_user_left(listening.bus.get(), message.get(), announcer)) ++*departures;
      int fd = -1;
      if (bus_library().dbus_connection_get_unix_fd(listening.bus.get(), &fd)) watched.push_back({fd, POLLIN, 0});
    }
    if (::poll(watched.data(), watched.size(), -1) < 0 && errno != EINTR) break;
    if (watched[0].revents != 0) break;
    for (Listening& listening : buses) (void)bus_library().dbus_connection_read_write(listening.bus.get(), 0);
    std::erase_if(buses, [](const Listening& listening) { return !bus_library().dbus_connection_get_is_connected(listening.bus.get()); });
  }
  ::close(stop);
}

class BusLockWatch final : public ScreenLockWatch {
 public:
  BusLockWatch() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return;
    stop_ = ends[1];
    // The thread may be in a call to a bus that does not answer when the watch goes: it is
    // left to end by itself, holding nothing of the watch's but the count.
    std::thread(listen, ends[0], departures_).detach();
  }
  ~BusLockWatch() override {
    if (stop_ >= 0) ::close(stop_);
  }
  BusLockWatch(const BusLockWatch&) = delete;
  BusLockWatch& operator=(const BusLockWatch&) = delete;

 private:
  int stop_ = -1;
};

}  // namespace

std::unique_ptr<ScreenLockWatch> watch_screen_lock() {
  return std::make_unique<BusLockWatch>();
}

ScreenLockReport screen_lock_report() {
  ScreenLockReport report;
  if (libdbus() == nullptr) {
    report.problem = std::string(LIBDBUS_FILE) + " cannot be loaded: a locked screen is not seen";
    return report;
  }
  bus_library().dbus_threads_init_default();
  for (const Listening& listening : reachable_buses()) {
    if (!report.sources.empty()) report.sources += "; ";
    const Announcer& first = listening.announcers.front();
    report.sources += first.name == LOGIND ? "logind's session " + first.path
                                           : std::string("the desktop's screensaver on the session bus");
  }
  if (session_bus_address() == nullptr)
    report.problem = "no session bus here (DBUS_SESSION_BUS_ADDRESS is not set): a screensaver's lock is not seen";
  else if (report.sources.find("screensaver") == std::string::npos)
    report.problem = "the session bus (DBUS_SESSION_BUS_ADDRESS) cannot be reached: a screensaver's lock is not seen";
  return report;
}

}  // namespace p11agent::platform
