#pragma once
// Where browsers look for a native-messaging host, for the current user or for every user.
#include <expected>
#include <optional>
#include <string>
#include <vector>

namespace p11agent::platform {

// Chrome, Chromium and Edge read manifests with "allowed_origins", Firefox with
// "allowed_extensions".
enum class ManifestForm { Chromium, Firefox };

struct HostPlace {
  ManifestForm form;
  std::string manifest;           // the manifest file (UTF-8 path)
  std::string base;               // folders are made and removed only below this one
  std::vector<std::string> keys;  // Windows: registry keys ("HKCU\..." or "HKLM\...") whose
                                  // default value names the manifest; none elsewhere
  bool shared = false;            // every user's place: what is written there every user reads
  // A link at `manifest` that names this file is the package's own (the manifest lives with
  // the configuration): it is written through. Any other link is replaced, never followed.
  std::string package_file;
};

// Linux: where the user's programs keep their settings: $XDG_CONFIG_HOME where it is an
// absolute path, else ~/.config; "" for a user without a home folder.
std::string user_config_folder();

// The places of the host called `name`: for every user (`every_user`) or the current one.
// `executable` is the agent's own path (Windows keeps every user's manifests beside it).
std::expected<std::vector<HostPlace>, std::string> host_places(bool every_user, const std::string& name,
                                                               const std::string& executable);

// Sets the key's default value to the manifest's path.
std::expected<void, std::string> set_host_key(const std::string& key, const std::string& manifest);

// The key's default value; nullopt when the key has none.
std::optional<std::string> host_key_value(const std::string& key);

// Removes the key if its default value names the manifest (a key that names another
// file belongs to someone else); true when it did.
std::expected<bool, std::string> remove_host_key(const std::string& key, const std::string& manifest);

}  // namespace p11agent::platform
