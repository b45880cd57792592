#pragma once
// --register-host and --unregister-host: the browsers' host manifests (and on Windows the
// keys that name them) for this executable, per user or for every user.
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "settings/host_places.h"

namespace p11agent {

inline constexpr const char* HOST_NAME = "p11agent";

struct HostRegistration {
  std::string executable;                       // what the manifests name
  std::vector<std::string> chrome_origins;      // "chrome-extension://<id>/"
  std::vector<std::string> firefox_extensions;  // Firefox extension ids
};

// Whether a manifest read from a place is this host's: an object whose "name" is HOST_NAME
// (a file with anything else there, of any type, is another program's).
bool is_host_manifest(const nlohmann::json& manifest);

// The manifest at `file` (through a link) when it is this host's. Only a regular file is
// read: a FIFO, a device or a folder there is another program's, and opening a FIFO would
// wait for a writer forever.
std::optional<nlohmann::json> our_manifest(const std::filesystem::path& file);

// Chrome's and Edge's form of an extension's origin: "chrome-extension://", an id of 32
// letters from a to p, "/".
bool is_extension_origin(std::string_view arg);

// Writes the manifests and keys of every place of a browser whose extensions it names (the
// others keep what they have); on a failure takes back what this run wrote and names the
// failure. `done` gets one line per file written and key set.
std::expected<void, std::string> register_host(const HostRegistration& registration,
                                               std::span<const platform::HostPlace> places,
                                               std::vector<std::string>& done);

// Removes this host's manifests and the keys that name them, and the folders that
// registering made and that are empty again; `done` gets one line per thing removed.
std::expected<void, std::string> unregister_host(std::span<const platform::HostPlace> places,
                                                 std::vector<std::string>& done);

// Why an account other than the administrators' (and, for one user's registration, that
// user's own) could change what a browser would start: the agent at `executable`, or the
// 32-bit module host beside it; nullopt when none can.
std::optional<std::string> agent_changeable_by_others(const std::string& executable, bool own_account_trusted = false);

// Runs --register-host / --unregister-host when the arguments ask for it and answers the
// exit status; std::nullopt when they ask for something else.
std::optional<int> run_host_registration(const std::vector<std::string>& args);

}  // namespace p11agent
