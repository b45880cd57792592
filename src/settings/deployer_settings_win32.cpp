#include "settings/deployer_settings.h"

#include <windows.h>

#include <vector>

#include "system/wide.h"

namespace p11agent::platform {

namespace {

constexpr const wchar_t* SETTINGS_KEY = L"Software\\p11agent";

// A value under Software\p11agent of `root`, with its type as RegGetValueW reports it (a
// REG_EXPAND_SZ comes expanded, as a REG_SZ): a REG_SZ as it is, a REG_DWORD in decimal, ""
// for another type; nullopt where it is not there.
struct RegistryValue {
  DWORD type;
  std::string text;
};
std::optional<RegistryValue> registry_value(HKEY root, std::string_view name) {
  const std::wstring value_name = to_wide(std::string(name));
  DWORD type = 0;
  DWORD size = 0;
  if (RegGetValueW(root, SETTINGS_KEY, value_name.c_str(), RRF_RT_ANY, &type, nullptr, &size) != ERROR_SUCCESS)
    return std::nullopt;
  if (type == REG_DWORD) {
    DWORD number = 0;
    size = sizeof number;
    if (RegGetValueW(root, SETTINGS_KEY, value_name.c_str(), RRF_RT_REG_DWORD, nullptr, &number, &size) != ERROR_SUCCESS)
      return RegistryValue{type, ""};
    return RegistryValue{type, std::to_string(number)};
  }
  if (type != REG_SZ) return RegistryValue{type, ""};  // set, but to nothing the agent takes
  std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
  size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
  if (RegGetValueW(root, SETTINGS_KEY, value_name.c_str(), RRF_RT_REG_SZ, nullptr, text.data(), &size) != ERROR_SUCCESS)
    return RegistryValue{type, ""};
  return RegistryValue{type, to_utf8(text.data())};
}

std::optional<std::string> setting_value(HKEY root, std::string_view name) {
  auto value = registry_value(root, name);
  if (!value) return std::nullopt;
  return std::move(value->text);
}

}  // namespace

std::string deployer_setting_place(std::string_view name) { return "HKLM\\Software\\p11agent\\" + std::string(name); }
std::string user_setting_place(std::string_view name) { return "HKCU\\Software\\p11agent\\" + std::string(name); }

std::optional<std::string> deployer_setting(std::string_view name) { return setting_value(HKEY_LOCAL_MACHINE, name); }
std::optional<std::string> user_setting(std::string_view name) { return setting_value(HKEY_CURRENT_USER, name); }

DeployerSwitch deployer_switch(std::string_view name) {
  const auto value = registry_value(HKEY_LOCAL_MACHINE, name);
  if (!value) return {};
  if (value->type == REG_DWORD && (value->text == "0" || value->text == "1")) return {value->text == "1", ""};
  if (value->type == REG_SZ && value->text == "1")
    return {true, "is the text \"1\", not a REG_DWORD: taken as on"};
  return {false, "is not a REG_DWORD 0 or 1: taken as off"};
}

}  // namespace p11agent::platform
