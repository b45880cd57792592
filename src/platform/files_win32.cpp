#include "platform/files.h"

#include <windows.h>

#include <algorithm>

#include "platform/wide.h"

namespace p11agent::platform {

bool file_exists(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA info;
  return GetFileAttributesExW(to_wide(path).c_str(), GetFileExInfoStandard, &info) != 0;
}

std::expected<void, std::error_code> create_new_file(const std::string& path, std::string_view text) {
  const std::wstring wide = to_wide(path);
  // CREATE_NEW fails on anything at the path, a link among them.
  HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::unexpected(std::error_code(static_cast<int>(GetLastError()), std::system_category()));
  std::error_code failed;
  for (std::string_view left = text; !left.empty() && !failed;) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(left.size(), 1u << 20));
    if (!WriteFile(file, left.data(), chunk, &written, nullptr))
      failed = std::error_code(static_cast<int>(GetLastError()), std::system_category());
    left.remove_prefix(written);
  }
  CloseHandle(file);
  if (failed) {
    DeleteFileW(wide.c_str());
    return std::unexpected(failed);
  }
  return {};
}

std::optional<std::string> changeable_by_others(const std::string&) { return std::nullopt; }

}  // namespace p11agent::platform
