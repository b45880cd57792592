#include "system/files.h"
#include "system/file_access_win32.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <vector>

#include "system/wide.h"

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

namespace {

// The service that installs Windows itself, which owns the system's own folders.
constexpr const wchar_t* TRUSTED_INSTALLER = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// A SID held in a buffer of its own.
using SidBuffer = std::vector<std::byte>;

SidBuffer sid_copy(PSID sid) {
  SidBuffer copy(GetLengthSid(sid));
  CopySid(static_cast<DWORD>(copy.size()), copy.data(), sid);
  return copy;
}

SidBuffer trusted_installer() {
  PSID sid = nullptr;
  if (!ConvertStringSidToSidW(TRUSTED_INSTALLER, &sid)) return {};
  SidBuffer copy = sid_copy(sid);
  LocalFree(sid);
  return copy;
}

// The account this process runs as: trusted where the caller says so (an administrator
// registering for every user owns what they copied into place themselves; a user's own
// registration may name what that user installed).
SidBuffer this_account() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  std::vector<std::byte> buffer(512);
  DWORD size = 0;
  const bool read = GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size);
  CloseHandle(token);
  return read ? sid_copy(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid) : SidBuffer{};
}

}  // namespace

std::wstring own_account_sid() {
  SidBuffer account = this_account();
  wchar_t* text = nullptr;
  if (account.empty() || !ConvertSidToStringSidW(account.data(), &text)) return {};
  std::wstring sid = text;
  LocalFree(text);
  return sid;
}

namespace {

bool same_sid(PSID sid, const SidBuffer& other) {
  return !other.empty() && EqualSid(sid, const_cast<std::byte*>(other.data())) != FALSE;
}

bool starts_with_folded(std::wstring_view text, std::wstring_view start) {
  return text.size() >= start.size() && CompareStringOrdinal(text.data(), static_cast<int>(start.size()), start.data(),
                                                             static_cast<int>(start.size()), TRUE) == CSTR_EQUAL;
}

bool is_reserved_name(std::wstring_view name) {
  static constexpr std::wstring_view RESERVED[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
  for (std::wstring_view reserved : RESERVED)
    if (name.size() == reserved.size() && starts_with_folded(name, reserved)) return true;
  if (name.size() != 4 || !(starts_with_folded(name, L"COM") || starts_with_folded(name, L"LPT"))) return false;
  const wchar_t digit = name[3];
  return (digit >= L'0' && digit <= L'9') || digit == L'\u00b9' || digit == L'\u00b2' || digit == L'\u00b3';
}

// Administrators, SYSTEM, TrustedInstaller, and where trusted the account this process runs as.
bool is_trusted(PSID sid, bool own_account_trusted) {
  static const SidBuffer installer = trusted_installer();
  static const SidBuffer running = this_account();
  return IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsWellKnownSid(sid, WinLocalSystemSid) ||
         same_sid(sid, installer) || (own_account_trusted && same_sid(sid, running));
}

// The account as a person reads it ("BUILTIN\Users"), else its SID.
std::string account_of(PSID sid) {
  wchar_t name[256], domain[256];
  DWORD name_size = 256, domain_size = 256;
  SID_NAME_USE use;
  if (LookupAccountSidW(nullptr, sid, name, &name_size, domain, &domain_size, &use))
    return domain_size > 0 ? to_utf8(domain) + "\\" + to_utf8(name) : to_utf8(name);
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return "an unknown account";
  std::string sid_text = to_utf8(text);
  LocalFree(text);
  return sid_text;
}

// Why someone other than an administrator can change the object, from its owner and its
// access list; nullopt when nobody else can.
std::optional<std::string> others_may_change(PSID owner, const ACL* dacl, ACCESS_MASK rights, bool own_account_trusted) {
  if (owner == nullptr) return std::string("has no owner");
  if (!is_trusted(owner, own_account_trusted)) return "belongs to " + account_of(owner);
  if (dacl == nullptr) return std::string("has no access list: everyone can change it");
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(const_cast<ACL*>(dacl), i, &ace)) return std::string("has an access list that cannot be read");
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    // Rules only for what is made inside later, and refusals, give no one a right here.
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    PSID who = const_cast<DWORD*>(&allowed->SidStart);
    if ((allowed->Mask & rights) != 0 && !is_trusted(who, own_account_trusted))
      return "can be changed by " + account_of(who);
  }
  return std::nullopt;
}

// The descriptors of the path's objects, from the file up; each freed with the list.
class PathDescriptors {
 public:
  explicit PathDescriptors(const std::string& path) {
    std::filesystem::path current(to_wide(path));
    for (;;) {
      PSECURITY_DESCRIPTOR descriptor = nullptr;
      if (GetNamedSecurityInfoW(current.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                nullptr, nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        unreadable_ = to_utf8(current.wstring().c_str());
        return;
      }
      objects_.push_back({to_utf8(current.wstring().c_str()), descriptor});
      const std::filesystem::path parent = current.parent_path();
      if (parent.empty() || parent == current) return;
      current = parent;
    }
  }
  ~PathDescriptors() {
    for (const PathObject& object : objects_) LocalFree(object.descriptor);
  }
  PathDescriptors(const PathDescriptors&) = delete;
  PathDescriptors& operator=(const PathDescriptors&) = delete;
  const std::vector<PathObject>& objects() const { return objects_; }
  // The object whose descriptor could not be read; "" when every one was.
  const std::string& unreadable() const { return unreadable_; }

 private:
  std::vector<PathObject> objects_;
  std::string unreadable_;
};

}  // namespace

std::optional<std::string> descriptor_lets_others_change(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK rights,
                                                         bool own_account_trusted) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL defaulted = FALSE, present = FALSE;
  if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
      !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted))
    return std::string("has a security descriptor that cannot be read");
  return others_may_change(owner, present ? dacl : nullptr, rights, own_account_trusted);
}

std::optional<std::string> path_lets_others_change(const std::vector<PathObject>& from_file_up,
                                                   bool own_account_trusted, const ChangeRights& rights) {
  for (std::size_t i = 0; i < from_file_up.size(); ++i) {
    const ACCESS_MASK counted = i == 0 ? rights.file : i == 1 ? rights.own_folder : rights.folder;
    if (auto why = descriptor_lets_others_change(from_file_up[i].descriptor, counted, own_account_trusted))
      return from_file_up[i].name + " " + *why;
  }
  return std::nullopt;
}

std::optional<std::string> changeable_by_others(const std::string& path, bool own_account_trusted) {
  const PathDescriptors descriptors(path);
  // What comes first on the way up is said first: an object below the unreadable one.
  if (auto why = path_lets_others_change(descriptors.objects(), own_account_trusted)) return why;
  if (!descriptors.unreadable().empty()) return descriptors.unreadable() + " cannot be examined";
  return std::nullopt;
}

bool is_own_account(PSID sid) {
  static const SidBuffer running = this_account();
  return same_sid(sid, running);
}

bool names_a_device(std::wstring_view path) {
  std::wstring text(path);
  std::replace(text.begin(), text.end(), L'/', L'\\');
  if (starts_with_folded(text, L"\\\\.\\") || starts_with_folded(text, L"\\??\\")) return true;
  if (starts_with_folded(text, L"\\\\?\\")) {
    const std::wstring_view rest = std::wstring_view(text).substr(4);
    const bool drive = rest.size() >= 2 && rest[1] == L':';
    return !drive && !starts_with_folded(rest, L"UNC\\");
  }
  std::wstring_view name = text;
  if (const auto last = name.find_last_of(L"\\:"); last != std::wstring_view::npos) name.remove_prefix(last + 1);
  name = name.substr(0, name.find(L'.'));
  while (!name.empty() && name.back() == L' ') name.remove_suffix(1);
  return is_reserved_name(name);
}

}  // namespace p11agent::platform
