#include "app/host_registration.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/host_process.h"
#include "platform/process.h"

namespace p11agent {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view CHROME_SCHEME = "chrome-extension://";

constexpr const char* USAGE =
    "usage: p11agent --register-host [--system] (--chrome-extension IDS | --firefox-extension IDS)...\n"
    "       (IDS: one id, or several separated by commas)\n"
    "       p11agent --unregister-host [--system]\n";

// Paths are UTF-8 throughout the agent; std::filesystem reads them as such only from u8 text.
fs::path path_of(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

std::string text_of(const fs::path& path) {
  const std::u8string utf8 = path.u8string();
  return std::string(utf8.begin(), utf8.end());
}

std::unexpected<std::string> failure(const std::string& what, const fs::path& path, const std::error_code& error) {
  return std::unexpected(what + " " + text_of(path) + ": " + error.message());
}

// A Firefox extension id: a GUID in braces or an e-mail-like name.
bool is_firefox_extension_id(std::string_view id) {
  if (id.size() > 2 && id.front() == '{' && id.back() == '}')
    return std::all_of(id.begin() + 1, id.end() - 1,
                       [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) || c == '-'; });
  const auto at = id.find('@');
  return at != std::string_view::npos && at + 1 < id.size() && id.find('@', at + 1) == std::string_view::npos &&
         std::all_of(id.begin(), id.end(), [](char c) {
           return std::isalnum(static_cast<unsigned char>(c)) || c == '@' || c == '-' || c == '.' || c == '_';
         });
}

bool is_our_manifest(const fs::path& file) {
  std::error_code error;
  if (!fs::is_regular_file(file, error)) return false;
  std::ifstream in(file, std::ios::binary);
  const auto manifest = nlohmann::json::parse(in, nullptr, false);
  return manifest.is_object() && manifest.value("name", "") == HOST_NAME;
}

// A manifest that is a link (a package keeps the file among its configuration) is written
// where the link points, so the link stays.
fs::path written_path(const fs::path& file) {
  std::error_code error;
  if (!fs::is_symlink(file, error)) return file;
  const fs::path target = fs::read_symlink(file, error);
  return error ? file : file.parent_path() / target;
}

std::expected<void, std::string> write_file(const fs::path& place, const std::string& text) {
  const fs::path file = written_path(place);
  std::error_code error;
  fs::create_directories(file.parent_path(), error);
  if (error) return failure("cannot make", file.parent_path(), error);
  // Written beside and renamed, so a browser never reads half a manifest.
  const fs::path temporary = file.parent_path() / (file.filename().u8string() + u8".new");
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!(out << text) || !out.flush()) {
      const std::error_code cause(errno, std::generic_category());
      fs::remove(temporary, error);
      return failure("cannot write", file, cause);
    }
  }
  fs::rename(temporary, file, error);
  if (error) {
    std::error_code ignored;
    fs::remove(temporary, ignored);
    return failure("cannot write", file, error);
  }
  return {};
}

// Removes the folders below `base` that hold nothing any more, from the manifest's upwards.
void remove_empty_folders(const fs::path& folder, const fs::path& base) {
  std::error_code error;
  for (fs::path current = folder; current != base && current.has_relative_path() &&
                                  text_of(current).starts_with(text_of(base));
       current = current.parent_path()) {
    if (!fs::is_empty(current, error) || error || !fs::remove(current, error)) return;
  }
}

// An installer hands its list of ids in one value, separated by commas (neither form of id
// has one); empty items are nothing.
std::expected<void, std::string> add_extensions(bool chrome, const std::string& ids, HostRegistration& registration) {
  for (std::size_t start = 0, end = 0; start <= ids.size(); start = end + 1) {
    end = std::min(ids.find(',', start), ids.size());
    const std::string id = ids.substr(start, end - start);
    if (id.empty()) continue;
    if (chrome) {
      std::string origin = std::string(CHROME_SCHEME) + id + "/";
      if (!is_extension_origin(origin))
        return std::unexpected("not a Chrome extension id (32 letters from a to p): " + id);
      registration.chrome_origins.push_back(std::move(origin));
    } else {
      if (!is_firefox_extension_id(id))
        return std::unexpected("not a Firefox extension id (name@domain or {GUID}): " + id);
      registration.firefox_extensions.push_back(id);
    }
  }
  return {};
}

struct Options {
  bool registering = false;
  bool every_user = false;
  HostRegistration registration;
};

std::expected<Options, std::string> parse_options(const std::vector<std::string>& args) {
  Options options;
  options.registering = args.front() == "--register-host";
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "--system") {
      options.every_user = true;
      continue;
    }
    const bool chrome = option == "--chrome-extension";
    if (!options.registering || (!chrome && option != "--firefox-extension"))
      return std::unexpected("unknown option " + option);
    if (i + 1 == args.size()) return std::unexpected(option + " needs an extension id");
    if (auto added = add_extensions(chrome, args[++i], options.registration); !added) return std::unexpected(added.error());
  }
  if (options.registering && options.registration.chrome_origins.empty() &&
      options.registration.firefox_extensions.empty())
    return std::unexpected("name the extensions allowed to start the host: --chrome-extension ID, --firefox-extension ID");
  return options;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

// The manifest a browser of this form reads.
std::string host_manifest(const HostRegistration& registration, platform::ManifestForm form) {
  nlohmann::json manifest = {
      {"name", HOST_NAME},
      {"description", "p11agent: signatures from PKCS#11 tokens"},
      {"path", registration.executable},
      {"type", "stdio"},
  };
  if (form == platform::ManifestForm::Chromium)
    manifest["allowed_origins"] = registration.chrome_origins;
  else
    manifest["allowed_extensions"] = registration.firefox_extensions;
  return manifest.dump(2) + "\n";
}


// The place's manifest, then the keys that name it.
std::expected<void, std::string> register_place(const HostRegistration& registration,
                                                const platform::HostPlace& place, std::vector<std::string>& done) {
  if (auto written = write_file(path_of(place.manifest), host_manifest(registration, place.form)); !written)
    return written;
  done.push_back("wrote " + place.manifest);
  for (const std::string& key : place.keys) {
    if (auto set = platform::set_host_key(key, place.manifest); !set) return set;
    done.push_back("set " + key + " = " + place.manifest);
  }
  return {};
}

}  // namespace

bool is_extension_origin(std::string_view arg) {
  if (arg.size() != CHROME_SCHEME.size() + 33 || !arg.starts_with(CHROME_SCHEME) || !arg.ends_with('/'))
    return false;
  const std::string_view id = arg.substr(CHROME_SCHEME.size(), 32);
  return std::all_of(id.begin(), id.end(), [](char c) { return c >= 'a' && c <= 'p'; });
}

std::expected<void, std::string> register_host(const HostRegistration& registration,
                                               std::span<const platform::HostPlace> places,
                                               std::vector<std::string>& done) {
  for (std::size_t i = 0; i < places.size(); ++i) {
    if (auto written = register_place(registration, places[i], done); !written) {
      std::vector<std::string> undone;
      (void)unregister_host(places.first(i + 1), undone);
      done.insert(done.end(), undone.begin(), undone.end());
      return written;
    }
  }
  return {};
}

std::expected<void, std::string> unregister_host(std::span<const platform::HostPlace> places,
                                                 std::vector<std::string>& done) {
  for (const platform::HostPlace& place : places) {
    for (const std::string& key : place.keys) {
      auto removed = platform::remove_host_key(key, place.manifest);
      if (!removed) return std::unexpected(removed.error());
      if (*removed) done.push_back("removed " + key);
    }
    const fs::path file = path_of(place.manifest);
    std::error_code error;
    if (!is_our_manifest(file)) continue;
    if (!fs::remove(file, error)) return failure("cannot remove", file, error);
    done.push_back("removed " + place.manifest);
    remove_empty_folders(file.parent_path(), path_of(place.base));
  }
  return {};
}

std::optional<int> run_host_registration(const std::vector<std::string>& args) {
  if (args.empty() || (args.front() != "--register-host" && args.front() != "--unregister-host")) return std::nullopt;
  auto options = parse_options(args);
  if (!options) {
    (void)platform::write_stdout(options.error() + "\n" + USAGE);
    return 1;
  }
  options->registration.executable = platform::own_executable_path();
  if (options->registration.executable.empty()) {
    (void)platform::write_stdout("the agent's own path is unknown: nothing was registered\n");
    return 1;
  }
  auto places = platform::host_places(options->every_user, HOST_NAME, options->registration.executable);
  std::vector<std::string> done;
  auto result = !places ? std::unexpected(places.error())
                : options->registering ? register_host(options->registration, *places, done)
                                       : unregister_host(*places, done);
  if (result && done.empty()) done.push_back("nothing to remove: the host was not registered there");
  if (!result) done.push_back(std::string(options->registering ? "--register-host" : "--unregister-host") +
                              " failed: " + result.error());
  return platform::write_stdout(joined(done)) && result ? 0 : 1;
}

}  // namespace p11agent
