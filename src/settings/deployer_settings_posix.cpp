#include "settings/deployer_settings.h"
#include "settings/host_places.h"

#include <cctype>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace p11agent::platform {

namespace {

constexpr const char* SETTINGS_FOLDER = "/etc/p11agent/";
// A setting is a word, a number or a path: what is past this is not read.
constexpr std::size_t MOST_READ = 4096;

// "SignatureConsent" as a file's name: "signature-consent".
std::string kebab_name(std::string_view name) {
  std::string file;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (std::isupper(static_cast<unsigned char>(c)) && i > 0) file += '-';
    file += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return file;
}

// The first line of a regular file ("" for another kind of file, or one that cannot be
// read); nullopt where nothing is at the path.
std::optional<std::string> first_line_of_file(const std::string& path) {
  // Opened without waiting, so that a FIFO put there cannot hold the agent up.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    struct stat seen {};
    return ::lstat(path.c_str(), &seen) == 0 ? std::optional<std::string>("") : std::nullopt;
  }
  std::string text;
  struct stat opened {};
  if (::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode)) {
    text.resize(MOST_READ);
    const ssize_t got = ::read(fd, text.data(), text.size());
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  }
  ::close(fd);
  return text.substr(0, text.find('\n'));
}

}  // namespace

std::string deployer_setting_place(std::string_view name) { return SETTINGS_FOLDER + kebab_name(name); }

DeployerSwitch deployer_switch(std::string_view name) {
  return {::access(deployer_setting_place(name).c_str(), F_OK) == 0, ""};
}

std::optional<std::string> deployer_setting(std::string_view name) {
  return first_line_of_file(deployer_setting_place(name));
}

std::string user_setting_place(std::string_view name) {
  const std::string config = user_config_folder();
  return config.empty() ? "" : config + "/p11agent/" + kebab_name(name);
}

std::optional<std::string> user_setting(std::string_view name) {
  const std::string place = user_setting_place(name);
  if (place.empty()) return std::nullopt;
  return first_line_of_file(place);
}

}  // namespace p11agent::platform
