#include "platform/files.h"

#include <windows.h>

#include "platform/wide.h"

namespace p11agent::platform {

bool file_exists(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA info;
  return GetFileAttributesExW(to_wide(path).c_str(), GetFileExInfoStandard, &info) != 0;
}

std::optional<std::string> changeable_by_others(const std::string&) { return std::nullopt; }

}  // namespace p11agent::platform
