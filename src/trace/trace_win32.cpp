#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>

#include "system/file_access_win32.h"
#include "trace/trace_file.h"
#include "system/wide.h"

namespace p11agent::platform {

namespace {

// A new file's access list: this account alone, nothing inherited from the folder.
struct OwnerOnly {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  OwnerOnly() {
    const std::wstring sid = own_account_sid();
    if (sid.empty()) return;
    const std::wstring sddl = L"D:P(A;;FA;;;" + sid + L")";
    (void)ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr);
  }
  ~OwnerOnly() { LocalFree(descriptor); }
  OwnerOnly(const OwnerOnly&) = delete;
  OwnerOnly& operator=(const OwnerOnly&) = delete;
};

// A link or a junction (a name surrogate) is refused; another reparse point, such as a
// synced folder's placeholder, is the file itself.
std::string kind_problem(HANDLE file) {
  const DWORD type = GetFileType(file);
  if (type == FILE_TYPE_PIPE) return "is a pipe, not a file";
  if (type != FILE_TYPE_DISK) return "is a device, not a file";
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) return "cannot be examined";
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag) ||
        IsReparseTagNameSurrogate(tag.ReparseTag))
      return "is a link, which the trace never follows";
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return "is a folder";
  return "";
}

// A file made before this process: this account's own, and given the access list a new one
// gets (OPEN_ALWAYS applies it only to a file it makes).
std::string own_file_made_private(HANDLE file, const OwnerOnly& owner_only) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS)
    return "cannot be examined";
  const bool own = owner != nullptr && is_own_account(owner);
  LocalFree(descriptor);
  if (!own) return "belongs to another user";
  BOOL present = FALSE, defaulted = FALSE;
  PACL list = nullptr;
  if (!GetSecurityDescriptorDacl(owner_only.descriptor, &present, &list, &defaulted) || !present ||
      SetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                      nullptr, list, nullptr) != ERROR_SUCCESS)
    return "cannot be made private to its owner";
  return "";
}

}  // namespace

std::string trace_variable() {
  const DWORD size = GetEnvironmentVariableW(L"P11AGENT_TRACE", nullptr, 0);
  if (size <= 1) return "";
  std::wstring value(size, L'\0');
  return GetEnvironmentVariableW(L"P11AGENT_TRACE", value.data(), size) + 1 == size ? to_utf8(value.c_str()) : "";
}

std::expected<TraceFile, std::string> open_trace_file(const std::string& path) {
  // A device is never opened: opening a port or a pipe may already act on it.
  if (names_a_device(to_wide(path))) return std::unexpected("is a device, not a file");
  OwnerOnly owner_only;
  if (owner_only.descriptor == nullptr) return std::unexpected("cannot be given an access list of this user alone");
  SECURITY_ATTRIBUTES attributes{sizeof attributes, owner_only.descriptor, FALSE};
  // FILE_APPEND_DATA for writing: every write goes to the end, whoever else appends. A link
  // is opened as itself (FILE_FLAG_OPEN_REPARSE_POINT) and then refused. Whatever answers a
  // pipe's name may learn who asks, never act as the user (SECURITY_IDENTIFICATION).
  HANDLE file = CreateFileW(to_wide(path).c_str(),
                            FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | READ_CONTROL | WRITE_DAC | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &attributes, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | SECURITY_SQOS_PRESENT |
                                SECURITY_IDENTIFICATION,
                            nullptr);
  const bool made_before = GetLastError() == ERROR_ALREADY_EXISTS;
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    const DWORD attributes_there = GetFileAttributesW(to_wide(path).c_str());
    if (attributes_there != INVALID_FILE_ATTRIBUTES && (attributes_there & FILE_ATTRIBUTE_DIRECTORY))
      return std::unexpected("is a folder");
    return std::unexpected("cannot be opened for writing (error " + std::to_string(error) + ")");
  }
  std::string problem = kind_problem(file);
  if (problem.empty() && made_before) problem = own_file_made_private(file, owner_only);
  if (!problem.empty()) {
    CloseHandle(file);
    return std::unexpected(problem);
  }
  return TraceFile{reinterpret_cast<std::intptr_t>(file)};
}

std::optional<TraceFileState> trace_file_state(const TraceFile& file, const std::string& path) {
  HANDLE handle = reinterpret_cast<HANDLE>(file.handle);
  BY_HANDLE_FILE_INFORMATION opened{};
  if (!GetFileInformationByHandle(handle, &opened)) return std::nullopt;
  // What is at the path now, opened as itself (a link is not followed) for its attributes only.
  BY_HANDLE_FILE_INFORMATION named{};
  HANDLE there = CreateFileW(to_wide(path).c_str(), FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  const bool seen = there != INVALID_HANDLE_VALUE && GetFileInformationByHandle(there, &named);
  if (there != INVALID_HANDLE_VALUE) CloseHandle(there);
  const bool at_path = seen && named.dwVolumeSerialNumber == opened.dwVolumeSerialNumber &&
                       named.nFileIndexHigh == opened.nFileIndexHigh && named.nFileIndexLow == opened.nFileIndexLow;
  const std::uint64_t size = (static_cast<std::uint64_t>(opened.nFileSizeHigh) << 32) | opened.nFileSizeLow;
  return TraceFileState{size, at_path};
}

bool append_to_trace(const TraceFile& file, std::string_view bytes) {
  HANDLE handle = reinterpret_cast<HANDLE>(file.handle);
  while (!bytes.empty()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 20));
    if (!WriteFile(handle, bytes.data(), chunk, &written, nullptr) || written == 0) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

void close_trace_file(const TraceFile& file) { CloseHandle(reinterpret_cast<HANDLE>(file.handle)); }

bool move_trace_file(const std::string& from, const std::string& to) {
  return MoveFileExW(to_wide(from).c_str(), to_wide(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

std::int64_t trace_process_id() { return GetCurrentProcessId(); }

}  // namespace p11agent::platform
