#pragma once
// Which languages the user wants to read, best first, as the platform says it.
#include <string>
#include <vector>

namespace p11agent::platform {

// Linux: gettext's order (LANGUAGE, then the first set of LC_ALL, LC_MESSAGES and LANG),
// read from the environment alone, so that a language whose locale is not generated on the
// machine is still the user's. Windows: the user's preferred UI languages.
std::vector<std::string> preferred_ui_languages();

// The environment variables that say the language, as gettext reads them.
struct LanguageEnvironment {
  std::string language;     // LANGUAGE: a list such as "fr:de"
  std::string lc_all;       // LC_ALL
  std::string lc_messages;  // LC_MESSAGES
  std::string lang;         // LANG
};

// The languages those variables name, best first: LANGUAGE's list, unless the locale (the
// first set of LC_ALL, LC_MESSAGES and LANG) is "C" or "POSIX" or none, which means English
// whatever LANGUAGE says; without LANGUAGE, the locale.
std::vector<std::string> gettext_languages(const LanguageEnvironment& environment);

// Those variables in this process's environment.
LanguageEnvironment language_environment();

// The locale a pinentry is told for its own texts and its keyboard (OPTION lc-messages and
// lc-ctype): the first set of LC_ALL, then `category` ("LC_MESSAGES" or "LC_CTYPE"), then
// LANG; "" for none.
std::string locale_for(const char* category);

}  // namespace p11agent::platform
