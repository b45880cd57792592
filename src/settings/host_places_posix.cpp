#include "settings/host_places.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>

namespace p11agent::platform {

namespace {

std::string home_folder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  const passwd* user = ::getpwuid(::getuid());
  return user && user->pw_dir ? user->pw_dir : "";
}

HostPlace place(ManifestForm form, const std::string& base, const std::string& folder, const std::string& name,
                bool shared = false, std::string package_file = {}) {
  return {form, folder + "/" + name + ".json", base, {}, shared, std::move(package_file)};
}

}  // namespace

std::string user_config_folder() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && *xdg == '/') return xdg;
  const std::string home = home_folder();
  return home.empty() || home.front() != '/' ? "" : home + "/.config";
}

std::expected<std::vector<HostPlace>, std::string> host_places(bool every_user, const std::string& name,
                                                               const std::string&) {
  using enum ManifestForm;
  if (every_user) {
    return std::vector<HostPlace>{
        place(Chromium, "/etc/opt", "/etc/opt/chrome/native-messaging-hosts", name, true),
        place(Chromium, "/etc", "/etc/chromium/native-messaging-hosts", name, true),
        place(Chromium, "/etc/opt", "/etc/opt/edge/native-messaging-hosts", name, true),
        // The Debian package keeps Firefox's manifest with the configuration and links it here.
        place(Firefox, "/usr/lib", "/usr/lib/mozilla/native-messaging-hosts", name, true,
              "/etc/p11agent/" + name + "-firefox.json"),
    };
  }
  const std::string home = home_folder();
  if (home.empty() || home.front() != '/') return std::unexpected("the current user has no home folder");
  // Chrome, Chromium and Edge keep their profiles under XDG_CONFIG_HOME when it is set.
  const std::string config = user_config_folder();
  return std::vector<HostPlace>{
      place(Chromium, home, config + "/google-chrome/NativeMessagingHosts", name),
      place(Chromium, home, config + "/chromium/NativeMessagingHosts", name),
      place(Chromium, home, config + "/microsoft-edge/NativeMessagingHosts", name),
      place(Firefox, home, home + "/.mozilla/native-messaging-hosts", name),
  };
}

// No registry here: the manifest's folder is all a browser reads.
std::expected<void, std::string> set_host_key(const std::string&, const std::string&) { return {}; }
std::optional<std::string> host_key_value(const std::string&) { return std::nullopt; }
std::expected<bool, std::string> remove_host_key(const std::string&, const std::string&) { return false; }

}  // namespace p11agent::platform
