#include "platform/deployer_settings.h"

#include <windows.h>

#include <vector>

#include "platform/wide.h"

namespace p11agent::platform {

namespace {

constexpr const wchar_t* SETTINGS_KEY = L"Software\\p11agent";

// A value under Software\p11agent of `root`: a REG_SZ as it is, a REG_DWORD in decimal, ""
// for another type; nullopt where it is not there.
std::optional<std::string> setting_value(HKEY root, std::string_view name) {
  const std::wstring value_name = to_wide(std::string(name));
  DWORD type = 0;
  DWORD size = 0;
  if (RegGetValueW(root, SETTINGS_KEY, value_name.c_str(), RRF_RT_ANY, &type, nullptr, &size) != ERROR_SUCCESS)
    return std::nullopt;
  if (type == REG_DWORD) {
    DWORD number = 0;
    size = sizeof number;
    if (RegGetValueW(root, SETTINGS_KEY, value_name.c_str(), RRF_RT_REG_DWORD, nullptr, &number, &size) != ERROR_SUCCESS)
      return "";
    return std::to_string(number);
  }
  if (type != REG_SZ) return "";  // set, but to nothing the agent takes
  std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
  size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
  if (RegGetValueW(root, SETTINGS_KEY, value_name.c_str(), RRF_RT_REG_SZ, nullptr, text.data(), &size) != ERROR_SUCCESS)
    return "";
  return to_utf8(text.data());
}

}  // namespace

std::string deployer_setting_place(std::string_view name) { return "HKLM\\Software\\p11agent\\" + std::string(name); }
std::string user_setting_place(std::string_view name) { return "HKCU\\Software\\p11agent\\" + std::string(name); }

std::optional<std::string> deployer_setting(std::string_view name) { return setting_value(HKEY_LOCAL_MACHINE, name); }
std::optional<std::string> user_setting(std::string_view name) { return setting_value(HKEY_CURRENT_USER, name); }

bool deployer_switch_on(std::string_view name) {
  const std::wstring value_name = to_wide(std::string(name));
  DWORD value = 0;
  DWORD size = sizeof value;
  return RegGetValueW(HKEY_LOCAL_MACHINE, SETTINGS_KEY, value_name.c_str(), RRF_RT_REG_DWORD, nullptr, &value, &size) ==
             ERROR_SUCCESS &&
         value == 1;
}

}  // namespace p11agent::platform
