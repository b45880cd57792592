#include "token/module.h"

namespace p11agent {

std::span<const std::string> default_modules() {
  static const std::string modules[] = {
      "C:\\Windows\\System32\\HYP2003csp11IND.dll",
      "C:\\Windows\\System32\\eps2003csp11v2.dll",
      "C:\\Windows\\System32\\cryptoida_pkcs11.dll",
      "C:\\Windows\\System32\\InnaITPKCS11Driver.dll",
      "C:\\Windows\\System32\\SignatureP11.dll",
  };
  return modules;
}

}  // namespace p11agent
