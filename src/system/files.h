#pragma once
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace p11agent::platform {

// True when a file-system metadata query on the path succeeds.
bool file_exists(const std::string& path);

// Makes a new file at `path` (UTF-8) holding `text`: never over a file that is there, nor
// through a link there. Readable and writable by its owner only until the caller says more.
std::expected<void, std::error_code> create_new_file(const std::string& path, std::string_view text);

// The first of the file at `path` and the folders above it that someone other than an
// administrator (or, with `own_account_trusted`, this process's own account) can change,
// with why; nullopt when there is none. Linux: one not owned by root (or this user),
// or writable by its group or by others (a folder with the sticky bit aside, where others
// cannot replace what is not theirs). Windows: one owned by another account than
// Administrators, SYSTEM, TrustedInstaller or this process's account, or whose access list
// lets another account change what the path leads to (file_access_win32.h).
std::optional<std::string> changeable_by_others(const std::string& path, bool own_account_trusted = false);

}  // namespace p11agent::platform
