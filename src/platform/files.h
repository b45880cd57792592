#pragma once
#include <optional>
#include <string>

namespace p11agent::platform {

// True when a file-system metadata query on the path succeeds.
bool file_exists(const std::string& path);

// The first of the file at `path` and the folders above it that someone other than an
// administrator can change: one not owned by root, or writable by its group or by others
// (a folder with the sticky bit aside, where others cannot replace what is not theirs),
// with why; nullopt when there is none. Windows leaves this to the installer, which puts
// the agent under Program Files: nullopt there.
std::optional<std::string> changeable_by_others(const std::string& path);

}  // namespace p11agent::platform
