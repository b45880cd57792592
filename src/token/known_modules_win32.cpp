#include "token/module.h"

namespace p11agent {

const std::vector<std::string>& default_modules() {
  static const std::vector<std::string> modules = {
      "C:\\Windows\\System32\\HYP2003csp11IND.dll",
      "C:\\Windows\\System32\\eps2003csp11v2.dll",
      "C:\\Windows\\System32\\cryptoida_pkcs11.dll",
      "C:\\Windows\\System32\\InnaITPKCS11Driver.dll",
      "C:\\Windows\\System32\\SignatureP11.dll",
  };
  return modules;
}

const std::string& default_enumerate_module() { return default_modules().back(); }

std::vector<std::string> registered_modules() { return {}; }

}  // namespace p11agent
