#include "support/deployer.h"

#include <windows.h>

namespace testing_support {

DeployerSetting::DeployerSetting(std::wstring name) : name_(std::move(name)) {
  const DWORD on = 1;
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"Software\\p11agent", name_.c_str(), REG_DWORD, &on, sizeof on);
}

DeployerSetting::DeployerSetting(std::wstring name, const std::wstring& text) : name_(std::move(name)) {
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"Software\\p11agent", name_.c_str(), REG_SZ, text.c_str(),
                  static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

DeployerSetting::~DeployerSetting() { RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"Software\\p11agent", name_.c_str()); }

}  // namespace testing_support
