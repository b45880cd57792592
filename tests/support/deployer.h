#pragma once
// A deployer's setting, present for as long as the object lives: on Windows the value
// HKLM\Software\p11agent\<name> = 1 (REG_DWORD), or the text given (REG_SZ), in the test
// run's own Wine prefix.
#include <string>

namespace testing_support {

class DeployerSetting {
 public:
  explicit DeployerSetting(std::wstring name);
  DeployerSetting(std::wstring name, const std::wstring& text);
  ~DeployerSetting();
  DeployerSetting(const DeployerSetting&) = delete;
  DeployerSetting& operator=(const DeployerSetting&) = delete;

 private:
  std::wstring name_;
};

}  // namespace testing_support
