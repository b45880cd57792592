#include "system/module_file.h"

#include <windows.h>

#include <vector>

#include "system/files.h"
#include "system/host_process.h"
#include "system/wide.h"

namespace p11agent::platform {

namespace {

std::string folder_of(UINT(WINAPI* query)(LPWSTR, UINT)) {
  wchar_t folder[MAX_PATH];
  const UINT length = query(folder, MAX_PATH);
  return length == 0 || length >= MAX_PATH ? std::string() : to_utf8(folder);
}

// `path` below `folder` (both compared as Windows compares names, '/' as '\'): the part
// after the folder's "\", or nullopt.
std::optional<std::string> below(const std::string& path, const std::string& folder) {
  if (folder.empty() || path.size() <= folder.size() + 1) return std::nullopt;
  std::wstring head = to_wide(path.substr(0, folder.size()));
  for (wchar_t& c : head)
    if (c == L'/') c = L'\\';
  const std::wstring wide_folder = to_wide(folder);
  const bool same = CompareStringOrdinal(head.c_str(), static_cast<int>(head.size()), wide_folder.c_str(),
                                         static_cast<int>(wide_folder.size()), TRUE) == CSTR_EQUAL;
  const char separator = path[folder.size()];
  if (!same || (separator != '\\' && separator != '/')) return std::nullopt;
  return path.substr(folder.size() + 1);
}

// The 64-bit System32 and SysWOW64, as this (64-bit) process sees them. File System
// Redirector (Microsoft's Win32 documentation): a 32-bit process that names
// %windir%\System32 is given %windir%\SysWOW64, and reaches the real System32 as
// %windir%\Sysnative, a name that only 32-bit processes see.
std::string system_folder() { return folder_of(GetSystemDirectoryW); }
std::string wow64_folder() { return folder_of(GetSystemWow64DirectoryW); }
std::string sysnative_folder() {
  const std::string windows = folder_of(GetSystemWindowsDirectoryW);
  return windows.empty() ? windows : windows + "\\Sysnative";
}

// How a 32-bit process names the file this process sees at `path`.
std::string as_named_by_32bit(const std::string& path) {
  const auto rest = below(path, system_folder());
  return rest ? sysnative_folder() + "\\" + *rest : path;
}

}  // namespace

std::optional<ModuleFile> find_module_file(const std::string& path) {
  if (file_exists(path)) {
    ModuleMachine machine = read_module_machine(path);
    if (machine.machine == Machine::X86) return ModuleFile{as_named_by_32bit(path), std::move(machine), true, ""};
    std::string unloadable = wrong_machine_text(machine);
    return ModuleFile{path, std::move(machine), false, std::move(unloadable)};
  }
  // What a 32-bit installer put "in System32": a 64-bit DLL there is nothing a 64-bit
  // program would ever load by the System32 name.
  const auto rest = below(path, system_folder());
  const std::string wow64 = wow64_folder();
  if (!rest || wow64.empty() || !file_exists(wow64 + "\\" + *rest)) return std::nullopt;
  const std::string file = wow64 + "\\" + *rest;
  ModuleMachine machine = read_module_machine(file);
  if (machine.machine != Machine::X86) return std::nullopt;
  return ModuleFile{file, std::move(machine), true, ""};
}

namespace {

// The product version the file's version resource states; "" when it states none.
std::string stated_version(const std::string& path) {
  const std::wstring wide = to_wide(path);
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(wide.c_str(), &ignored);
  if (size == 0) return {};
  std::vector<unsigned char> block(size);
  if (!GetFileVersionInfoW(wide.c_str(), 0, size, block.data())) return {};
  wchar_t* value = nullptr;
  UINT length = 0;
  // US English, Unicode: the one table the build writes.
  if (!VerQueryValueW(block.data(), L"\\StringFileInfo\\040904B0\\ProductVersion", reinterpret_cast<void**>(&value),
                      &length) ||
      value == nullptr || length == 0)
    return {};
  return to_utf8(std::wstring(value, wcsnlen(value, length)).c_str());
}

}  // namespace

std::string module_host_path(HostKind kind, const std::string& agent) {
  const std::string own = agent.empty() ? own_executable_path() : agent;
  const auto slash = own.find_last_of("\\/");
  return (slash == std::string::npos ? std::string() : own.substr(0, slash + 1)) +
         (kind == HostKind::Native ? HOST_NAME : HOST_32_NAME) + ".exe";
}

// Windows starts any file that is there; one it cannot start fails at its start.
HostPresence host_presence(const std::string& path) {
  return !path.empty() && file_exists(path) ? HostPresence::Runnable : HostPresence::Missing;
}

std::optional<HostExecutable> module_host(HostKind kind, const std::string& agent) {
  HostExecutable host;
  host.path = module_host_path(kind, agent);
  host.present = host_presence(host.path) == HostPresence::Runnable;
  if (host.present) host.version = stated_version(host.path);
  return host;
}

}  // namespace p11agent::platform
