#include "system/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace p11agent::platform {

bool file_exists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

std::expected<void, std::error_code> create_new_file(const std::string& path, std::string_view text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return std::unexpected(std::error_code(errno, std::generic_category()));
  std::error_code failed;
  for (std::string_view left = text; !left.empty() && !failed;) {
    const ssize_t n = ::write(fd, left.data(), left.size());
    if (n > 0) left.remove_prefix(static_cast<std::size_t>(n));
    else if (n < 0 && errno != EINTR) failed = std::error_code(errno, std::generic_category());
  }
  if (::close(fd) != 0 && !failed) failed = std::error_code(errno, std::generic_category());
  if (failed) {
    ::unlink(path.c_str());
    return std::unexpected(failed);
  }
  return {};
}

std::optional<std::string> changeable_by_others(const std::string& path, bool own_account_trusted) {
  const std::string own_folder = path.substr(0, std::max<std::size_t>(path.find_last_of('/'), 1));
  for (std::string current = path; !current.empty();) {
    struct stat info;
    if (::lstat(current.c_str(), &info) != 0) return current + " cannot be examined";
    if (info.st_uid != 0 && !(own_account_trusted && info.st_uid == ::geteuid()))
      return current + (own_account_trusted ? " belongs to another user" : " belongs to a user who is not root");
    // A link's own mode means nothing; who may replace it is its folder's business. In a
    // sticky folder others replace nothing but may add: not to the program's own folder,
    // where a host added beside the agent would be started with the PINs.
    const bool sticky = S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0;
    const bool bits_count = !S_ISLNK(info.st_mode) && (!sticky || current == own_folder);
    if (bits_count && (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return current + " is writable by others";
    if (current == "/") break;
    const auto slash = current.find_last_of('/');
    current = slash == 0 ? "/" : current.substr(0, slash);
  }
  return std::nullopt;
}

}  // namespace p11agent::platform
