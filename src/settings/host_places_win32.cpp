#include "settings/host_places.h"

#include <windows.h>

#include <system_error>

#include "system/wide.h"

namespace p11agent::platform {

namespace {

std::string environment_folder(const wchar_t* name) {
  wchar_t value[MAX_PATH];
  const DWORD n = GetEnvironmentVariableW(name, value, MAX_PATH);
  return n > 0 && n < MAX_PATH ? to_utf8(value) : std::string();
}

std::string folder_of(const std::string& path) {
  const auto slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// The system's text for a registry call's status, as std::filesystem gives its errors.
std::string system_text(LSTATUS status) {
  return std::error_code(static_cast<int>(status), std::system_category()).message();
}

struct KeyName {
  HKEY root;
  std::wstring path;
};

KeyName split_key(const std::string& key) {
  const bool machine = key.starts_with("HKLM\\");
  return {machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, to_wide(key.substr(5))};
}

// The key's default value; empty when there is none.
std::wstring default_value(const KeyName& name) {
  wchar_t value[2048];
  DWORD size = sizeof value - sizeof(wchar_t);
  DWORD type = 0;
  if (RegGetValueW(name.root, name.path.c_str(), nullptr, RRF_RT_REG_SZ, &type, value, &size) != ERROR_SUCCESS)
    return {};
  return value;
}

}  // namespace

std::expected<std::vector<HostPlace>, std::string> host_places(bool every_user, const std::string& name,
                                                               const std::string& executable) {
  // Every user's manifests lie beside the installed executable (under Program Files only an
  // administrator can change them); one user's under that user's local application data.
  std::string base = every_user ? folder_of(executable) : environment_folder(L"LOCALAPPDATA");
  if (base.empty()) return std::unexpected(every_user ? "the agent's own folder is unknown"
                                                      : "the current user has no local application data folder");
  const std::string folder = every_user ? base : base + "\\p11agent";
  const std::string root = every_user ? "HKLM\\Software\\" : "HKCU\\Software\\";
  const std::string hosts = "\\NativeMessagingHosts\\" + name;
  return std::vector<HostPlace>{
      {ManifestForm::Chromium, folder + "\\" + name + "-chrome.json", base,
       {root + "Google\\Chrome" + hosts, root + "Chromium" + hosts, root + "Microsoft\\Edge" + hosts}, every_user, {}},
      {ManifestForm::Firefox, folder + "\\" + name + "-firefox.json", base, {root + "Mozilla" + hosts}, every_user, {}},
  };
}

std::expected<void, std::string> set_host_key(const std::string& key, const std::string& manifest) {
  const KeyName name = split_key(key);
  const std::wstring value = to_wide(manifest);
  const LSTATUS status =
      RegSetKeyValueW(name.root, name.path.c_str(), nullptr, REG_SZ, value.c_str(),
                      static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  if (status != ERROR_SUCCESS) return std::unexpected("cannot set " + key + ": " + system_text(status));
  return {};
}

std::optional<std::string> host_key_value(const std::string& key) {
  const std::wstring value = default_value(split_key(key));
  if (value.empty()) return std::nullopt;
  return to_utf8(value.c_str());
}

std::expected<bool, std::string> remove_host_key(const std::string& key, const std::string& manifest) {
  const KeyName name = split_key(key);
  if (CompareStringOrdinal(default_value(name).c_str(), -1, to_wide(manifest).c_str(), -1, TRUE) != CSTR_EQUAL)
    return false;
  const LSTATUS status = RegDeleteKeyExW(name.root, name.path.c_str(), KEY_WOW64_64KEY, 0);
  if (status != ERROR_SUCCESS) return std::unexpected("cannot remove " + key + ": " + system_text(status));
  return true;
}

}  // namespace p11agent::platform
