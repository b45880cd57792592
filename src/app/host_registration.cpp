#include "app/host_registration.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string_view>

#include <nlohmann/json.hpp>

#include "system/files.h"
#include "system/module_file.h"
#include "system/host_process.h"
#include "system/process.h"
#include "text/utf8.h"

namespace p11agent {

namespace fs = std::filesystem;

bool is_host_manifest(const nlohmann::json& manifest) {
  if (!manifest.is_object()) return false;
  const auto name = manifest.find("name");
  return name != manifest.end() && *name == HOST_NAME;
}

std::optional<nlohmann::json> our_manifest(const fs::path& file) {
  std::error_code error;
  if (!fs::is_regular_file(file, error)) return std::nullopt;
  std::ifstream in(file, std::ios::binary);
  auto manifest = nlohmann::json::parse(in, nullptr, false);
  if (!is_host_manifest(manifest)) return std::nullopt;
  return manifest;
}

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

// What is written in every user's places every user reads, whatever the umask.
constexpr fs::perms SHARED_FILE = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                  fs::perms::others_read;
constexpr fs::perms SHARED_FOLDER = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec;

// The file a place's manifest is written to: the package's own file where the manifest is
// the package's link to it, the place itself otherwise (a link there is replaced).
fs::path written_path(const platform::HostPlace& place) {
  const fs::path file = path_of(place.manifest);
  std::error_code error;
  if (place.package_file.empty() || !fs::is_symlink(file, error)) return file;
  fs::path target = fs::read_symlink(file, error);
  if (error) return file;
  if (target.is_relative()) target = file.parent_path() / target;
  const fs::path package_file = path_of(place.package_file);
  return target.lexically_normal() == package_file ? package_file : file;
}

// Makes the missing folders from `base` down to `folder`. A link among them is not
// followed: run by an administrator with another user's home, it could lead anywhere.
std::expected<void, std::string> make_folders(const fs::path& base, const fs::path& folder, bool shared) {
  const fs::path below = folder.lexically_relative(base);
  if (below.empty() || *below.begin() == "..") return std::unexpected("not below " + text_of(base) + ": " + text_of(folder));
  std::error_code made;
  if (fs::create_directories(base, made) && shared) fs::permissions(base, SHARED_FOLDER, made);
  if (made) return failure("cannot make", base, made);
  fs::path current = base;
  for (const fs::path& part : below) {
    current /= part;
    std::error_code error;
    const fs::file_status status = fs::symlink_status(current, error);
    if (fs::is_symlink(status)) return std::unexpected("not written through a link: " + text_of(current));
    if (fs::exists(status)) continue;
    if (!fs::create_directory(current, error)) return failure("cannot make", current, error);
    if (shared) fs::permissions(current, SHARED_FOLDER, error);
    if (error) return failure("cannot make", current, error);
  }
  return {};
}

// A name no other run picks at the same time.
std::u8string unique_suffix() {
  std::random_device random;
  const std::string digits = std::to_string(random()) + std::to_string(random());
  return std::u8string(digits.begin(), digits.end());
}

// Replaces `file` with `text`. A new file of its own is made beside it, exclusively (never
// over a file or through a link that is there), and renamed over it: a browser never reads
// half a manifest, and a link in the file's place is replaced, not followed.
std::expected<void, std::string> replace_file(const fs::path& file, const std::string& text,
                                              std::optional<fs::perms> mode) {
  std::error_code error;
  const fs::path temporary =
      file.parent_path() / (file.filename().u8string() + u8".p11agent-" + unique_suffix());
  if (auto created = platform::create_new_file(text_of(temporary), text); !created)
    return failure("cannot write", file, created.error());
  if (mode) fs::permissions(temporary, *mode, error);
  if (!error) fs::rename(temporary, file, error);
  if (error) {
    std::error_code ignored;
    fs::remove(temporary, ignored);
    return failure("cannot write", file, error);
  }
  return {};
}

std::expected<void, std::string> write_manifest(const platform::HostPlace& place, const std::string& text) {
  const fs::path file = written_path(place);
  if (file == path_of(place.manifest))
    if (auto made = make_folders(path_of(place.base), file.parent_path(), place.shared); !made) return made;
  return replace_file(file, text, place.shared ? std::optional(SHARED_FILE) : std::nullopt);
}

// What a place held before this run wrote there, to put back when the run fails.
struct Previous {
  std::optional<std::string> text;           // a file's content
  fs::perms mode = fs::perms::none;
  std::optional<fs::path> link;              // a link's target (a link the run replaced)
  std::vector<std::optional<std::string>> keys;  // each key's value
};

Previous previous_of(const platform::HostPlace& place) {
  Previous previous;
  const fs::path file = written_path(place);
  std::error_code error;
  const fs::file_status status = fs::symlink_status(file, error);
  if (fs::is_symlink(status)) {
    previous.link = fs::read_symlink(file, error);
  } else if (fs::is_regular_file(status)) {
    std::ifstream in(file, std::ios::binary);
    previous.text = std::string(std::istreambuf_iterator<char>(in), {});
    previous.mode = status.permissions();
  }
  for (const std::string& key : place.keys) previous.keys.push_back(platform::host_key_value(key));
  return previous;
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

// Puts back what the place held; `done` gets one line per thing put back or removed.
void restore(const platform::HostPlace& place, const Previous& previous, std::vector<std::string>& done) {
  for (std::size_t i = 0; i < place.keys.size(); ++i) {
    const auto& value = previous.keys[i];
    if (value ? platform::set_host_key(place.keys[i], *value).has_value()
              : platform::remove_host_key(place.keys[i], place.manifest).value_or(false))
      done.push_back((value ? "restored " : "removed ") + place.keys[i]);
  }
  const fs::path file = written_path(place);
  std::error_code error;
  if (previous.text) {
    if (replace_file(file, *previous.text, previous.mode)) done.push_back("restored " + text_of(file));
    return;
  }
  if (!our_manifest(file) || !fs::remove(file, error)) return;
  done.push_back("removed " + text_of(file));
  if (previous.link) {
    fs::create_symlink(*previous.link, file, error);
    if (!error) done.push_back("restored " + text_of(file));
    return;
  }
  remove_empty_folders(file.parent_path(), path_of(place.base));
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
  if (auto written = write_manifest(place, host_manifest(registration, place.form)); !written) return written;
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
  // A manifest is JSON text: a path that is not UTF-8 cannot be named in one.
  if (!is_valid_utf8(registration.executable))
    return std::unexpected(std::string("the agent's path is not UTF-8 text, which no browser's manifest can name: "
                                       "install p11agent where every folder's name is UTF-8"));
  std::vector<Previous> previous;
  for (std::size_t i = 0; i < places.size(); ++i) {
    previous.push_back(previous_of(places[i]));
    // A browser none of whose extensions was named keeps what it has: a manifest that
    // allows none would only be one more thing to explain.
    const bool named = places[i].form == platform::ManifestForm::Chromium ? !registration.chrome_origins.empty()
                                                                          : !registration.firefox_extensions.empty();
    if (!named) continue;
    if (auto written = register_place(registration, places[i], done); !written) {
      for (std::size_t j = i + 1; j-- > 0;) restore(places[j], previous[j], done);
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
    auto manifest = our_manifest(file);
    if (!manifest) continue;
    // The package's file stays with its link, for the package's upgrades to keep: it allows
    // no extension any more.
    if (const fs::path written = written_path(place); written != file) {
      (*manifest)[place.form == platform::ManifestForm::Chromium ? "allowed_origins" : "allowed_extensions"] =
          nlohmann::json::array();
      if (auto emptied = replace_file(written, manifest->dump(2) + "\n", fs::status(written, error).permissions());
          !emptied)
        return emptied;
      done.push_back("allowed no extension in " + text_of(written));
      continue;
    }
    if (!fs::remove(file, error)) return failure("cannot remove", file, error);
    done.push_back("removed " + place.manifest);
    remove_empty_folders(file.parent_path(), path_of(place.base));
  }
  return {};
}

std::optional<std::string> agent_changeable_by_others(const std::string& executable, bool own_account_trusted) {
  if (auto why = platform::changeable_by_others(executable, own_account_trusted)) return why;
  // The agent starts its hosts with what the agent was given.
  for (auto kind : {platform::HostKind::Native, platform::HostKind::Bits32}) {
    const std::string host = platform::module_host_path(kind, executable);
    if (platform::host_presence(host) == platform::HostPresence::Missing) continue;
    if (auto why = platform::changeable_by_others(host, own_account_trusted)) return why;
  }
  return std::nullopt;
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
  // Every user's browsers would start whatever replaces the executable. Only an
  // administrator can write every user's registration: their own account is one of the
  // administrators' (anyone else is refused where the registration is written).
  if (options->registering && options->every_user)
    if (auto changeable = agent_changeable_by_others(options->registration.executable, true)) {
      (void)platform::write_stdout("--register-host --system refused: " + options->registration.executable +
                                   " can be changed by users who are not administrators (" + *changeable +
                                   "): install p11agent where only administrators can change it\n");
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
