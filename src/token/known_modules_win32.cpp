#include "token/module.h"

namespace p11agent {

const std::vector<std::string> DEFAULT_MODULES = {
    "C:\\Windows\\System32\\HYP2003csp11IND.dll",
    "C:\\Windows\\System32\\eps2003csp11v2.dll",
    "C:\\Windows\\System32\\cryptoida_pkcs11.dll",
    "C:\\Windows\\System32\\InnaITPKCS11Driver.dll",
    "C:\\Windows\\System32\\SignatureP11.dll",
};

const std::string DEFAULT_ENUMERATE_MODULE = "C:\\Windows\\System32\\SignatureP11.dll";

}  // namespace p11agent
