#include "platform/files.h"

#include <sys/stat.h>

namespace p11agent::platform {

bool file_exists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

}  // namespace p11agent::platform
