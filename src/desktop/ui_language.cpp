#include "desktop/ui_language.h"

#include <cstdlib>

namespace p11agent::platform {

namespace {

std::string variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string first_set(std::initializer_list<std::string> values) {
  for (const std::string& value : values)
    if (!value.empty()) return value;
  return "";
}

}  // namespace

std::vector<std::string> gettext_languages(const LanguageEnvironment& environment) {
  const std::string locale = first_set({environment.lc_all, environment.lc_messages, environment.lang});
  // gettext leaves LANGUAGE aside where the locale is C (POSIX is its other name, and no
  // locale set is C): a program in the C locale speaks English whatever LANGUAGE lists. The
  // C.UTF-8 locale is another locale: there LANGUAGE is followed, as gettext and pinentry,
  // which inherits it, follow it.
  if (locale.empty() || locale == "C" || locale == "POSIX") return {"C"};
  if (environment.language.empty()) return {locale};
  std::vector<std::string> languages;
  for (std::size_t from = 0; from <= environment.language.size();) {
    std::size_t colon = environment.language.find(':', from);
    if (colon == std::string::npos) colon = environment.language.size();
    if (colon > from) languages.push_back(environment.language.substr(from, colon - from));
    from = colon + 1;
  }
  return languages;
}

std::string locale_for(const char* category) { return first_set({variable("LC_ALL"), variable(category), variable("LANG")}); }

LanguageEnvironment language_environment() {
  return {variable("LANGUAGE"), variable("LC_ALL"), variable("LC_MESSAGES"), variable("LANG")};
}

}  // namespace p11agent::platform
