#include "platform/files.h"

#include <sys/stat.h>

namespace p11agent::platform {

bool file_exists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

std::optional<std::string> changeable_by_others(const std::string& path) {
  for (std::string current = path; !current.empty();) {
    struct stat info;
    if (::lstat(current.c_str(), &info) != 0) return current + " cannot be examined";
    if (info.st_uid != 0) return current + " belongs to a user who is not root";
    // A link's own mode means nothing; who may replace it is its folder's business.
    const bool bits_count = !S_ISLNK(info.st_mode) && !(S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0);
    if (bits_count && (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return current + " is writable by others";
    if (current == "/") break;
    const auto slash = current.find_last_of('/');
    current = slash == 0 ? "/" : current.substr(0, slash);
  }
  return std::nullopt;
}

}  // namespace p11agent::platform
