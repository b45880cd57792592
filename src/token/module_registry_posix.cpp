#include "token/module_registry.h"

#include <pwd.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include "linux_modules.h"

namespace p11agent {

namespace {

using Options = std::map<std::string, std::string>;

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// "name: value" lines, where a name given twice keeps its last value; "#" starts a
// comment. A file that cannot be read has no options. Any other line (a section header,
// a PEM block, a line without a colon) makes the file malformed: nullopt.
std::optional<Options> read_options(const std::filesystem::path& file) {
  Options options;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    const std::string text = trimmed(line);
    if (text.empty() || text.front() == '#') continue;
    const auto colon = text.find(':');
    if (colon == std::string::npos || text.front() == '[' || text.starts_with("-----BEGIN")) return std::nullopt;
    options.insert_or_assign(trimmed(text.substr(0, colon)), trimmed(text.substr(colon + 1)));
  }
  return options;
}

std::string option(const Options& options, const std::string& name) {
  auto found = options.find(name);
  return found == options.end() ? std::string() : found->second;
}

// "~/" is the user's home, as p11-kit expands it: HOME, else the password database's
// entry for the real user.
std::string expand_home(const std::string& path) {
  if (!path.starts_with("~/")) return path;
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home + path.substr(1);
  const passwd* entry = ::getpwuid(::getuid());
  return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir + path.substr(1) : std::string();
}

// A configuration's name is its file name without ".module"; files named otherwise count
// under their whole name, as p11-kit still takes them.
std::string config_name(const std::string& file_name) {
  const std::string suffix = ".module";
  if (file_name.size() > suffix.size() && file_name.ends_with(suffix))
    return file_name.substr(0, file_name.size() - suffix.size());
  return file_name;
}

// The first configuration of a name wins; later ones only add the options it lacks.
// False when a file is malformed: p11-kit then loads no module at all.
bool read_folder(const std::string& folder, std::map<std::string, Options>& configs) {
  std::error_code error;
  if (folder.empty()) return true;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    if (entry.is_directory(error)) continue;
    auto options = read_options(entry.path());
    if (!options) return false;
    configs[config_name(entry.path().filename().string())].merge(*options);
  }
  return true;
}

bool names_proxy(const std::string& list) {
  const std::string proxy = "p11-kit-proxy";
  for (std::size_t at = 0; at <= list.size();) {
    std::size_t end = list.find_first_of(", \t", at);
    if (end == std::string::npos) end = list.size();
    if (list.compare(at, end - at, proxy) == 0) return true;
    at = end + 1;
  }
  return false;
}

bool proxy_takes(const Options& config) {
  const std::string enabled = option(config, "enable-in");
  return (enabled.empty() || names_proxy(enabled)) && !names_proxy(option(config, "disable-in"));
}

enum class UserMode { None, Merge, Only };

std::optional<UserMode> user_mode(const std::optional<Options>& config, UserMode otherwise) {
  if (!config) return std::nullopt;  // malformed: p11-kit then loads nothing
  const std::string mode = option(*config, "user-config");
  if (mode.empty()) return otherwise;
  if (mode == "none") return UserMode::None;
  if (mode == "merge") return UserMode::Merge;
  if (mode == "only" || mode == "override") return UserMode::Only;
  return std::nullopt;  // p11-kit then loads nothing
}

}  // namespace

ModuleRegistryPlaces system_module_registry() {
  return {P11AGENT_P11KIT_SYSCONFDIR "/pkcs11/pkcs11.conf",
          "~/.config/pkcs11/pkcs11.conf",
          "~/.config/pkcs11/modules",
          P11AGENT_P11KIT_SYSCONFDIR "/pkcs11/modules",
          P11AGENT_P11KIT_PACKAGE_CONFIGS,
          P11AGENT_P11KIT_MODULE_PATH,
          // As p11-kit: the real user, and no setuid or setgid program.
          getauxval(AT_SECURE) == 0 && getuid() != 0};
}

std::vector<std::string> modules_registered_in(const ModuleRegistryPlaces& places) {
  auto mode = user_mode(read_options(places.global_config), UserMode::Merge);
  if (mode && *mode != UserMode::None && places.user_allowed)
    mode = user_mode(read_options(expand_home(places.user_config)), *mode);
  if (!mode) return {};
  if (!places.user_allowed) mode = UserMode::None;
  std::map<std::string, Options> configs;
  if (*mode != UserMode::None && !read_folder(expand_home(places.user_dir), configs)) return {};
  if (*mode != UserMode::Only && (!read_folder(places.system_dir, configs) || !read_folder(places.package_dir, configs)))
    return {};
  struct Registered {
    int priority;
    std::string name;
    std::string path;
  };
  std::vector<Registered> registered;
  for (const auto& [name, config] : configs) {
    const std::string module = option(config, "module");
    if (module.empty() || !proxy_takes(config)) continue;
    const std::string path = module.front() == '/' ? module : places.module_dir + "/" + module;
    registered.push_back({std::atoi(option(config, "priority").c_str()), name, path});
  }
  std::ranges::stable_sort(registered, [](const Registered& a, const Registered& b) {
    return a.priority != b.priority ? a.priority > b.priority : a.name < b.name;
  });
  std::vector<std::string> paths;
  for (auto& module : registered) paths.push_back(std::move(module.path));
  return paths;
}

}  // namespace p11agent
