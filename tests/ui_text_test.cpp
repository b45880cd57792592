// The catalogs of what a person reads, and the choice of the user's language.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "desktop/ui_language.h"
#include "desktop/ui_text.h"

namespace p11agent {
namespace {

using platform::LanguageEnvironment;

std::string language_chosen(const std::vector<std::string>& preferred) {
  platform::use_ui_languages(preferred);
  std::string language = platform::ui_language();
  platform::use_ui_languages(std::vector<std::string>{"en"});
  return language;
}

// Linux: the variables in gettext's order (GNU gettext manual, "Specifying a Priority List
// of Languages" and "The LANGUAGE variable", and glibc's guess_category_value: LANGUAGE first,
// except in the "C" locale, which "POSIX" and no locale at all are, but "C.UTF-8" is not; then
// LC_ALL, LC_MESSAGES, LANG), read whether or not the named locale is generated here.
TEST(UiLanguage, LinuxReadsTheVariablesInGettextsOrder) {
  struct Case {
    LanguageEnvironment environment;  // LANGUAGE, LC_ALL, LC_MESSAGES, LANG
    std::string language;
  };
  const std::vector<Case> cases = {
      {{"", "", "", "de_DE.UTF-8"}, "de"},
      {{"fr", "", "", "de_DE.UTF-8"}, "fr"},
      {{"it:es:de", "", "", "de_DE.UTF-8"}, "es"},         // the first shipped of the list
      {{"en:de", "", "", "de_DE.UTF-8"}, "en"},            // English asked for first
      {{"fr", "", "", "C"}, "en"},                          // the C locale leaves LANGUAGE aside
      {{"fr", "", "", "POSIX"}, "en"},                      // ... by its other name too
      {{"fr", "", "", ""}, "en"},                           // no locale is the C locale
      {{"fr", "C.UTF-8", "", "de_DE.UTF-8"}, "fr"},         // C.UTF-8 is not: LANGUAGE holds
      {{"de", "C.UTF-8", "", ""}, "de"},
      {{"en:de", "C.UTF-8", "", ""}, "en"},
      {{"", "pl_PL.UTF-8", "de_DE.UTF-8", "ru_RU.UTF-8"}, "pl"},
      {{"", "", "ru_RU.UTF-8", "de_DE.UTF-8"}, "ru"},
      {{"", "", "", "de_AT.ISO-8859-15@euro"}, "de"},
      {{"", "", "", "it_IT.UTF-8"}, "en"},                  // no catalog: English
      {{"::fr::", "", "", "de_DE.UTF-8"}, "fr"},
  };
  for (const Case& c : cases) {
    const LanguageEnvironment& e = c.environment;
    EXPECT_EQ(language_chosen(platform::gettext_languages(e)), c.language)
        << e.language << " | " << e.lc_all << " | " << e.lc_messages << " | " << e.lang;
  }
}

// Windows: GetUserPreferredUILanguages with MUI_LANGUAGE_NAME answers the user's display
// languages as language names, best first (Microsoft Learn, "GetUserPreferredUILanguages
// function (winnls.h)" and "Language Names": a language, then script and region subtags,
// "de-DE", "es-419", "zh-Hans-CN"); the first one shipped wins, on its language alone.
TEST(UiLanguage, WindowsTakesTheFirstShippedOfTheDisplayLanguages) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"de-DE", "en-US"}, "de"}, {{"en-US", "de-DE"}, "en"}, {{"it-IT", "fr-CA"}, "fr"}, {{"es-419"}, "es"},
      {{"pl-PL"}, "pl"},          {{"ru-RU", "en-US"}, "ru"}, {{"zh-Hans-CN"}, "en"},     {{}, "en"},
  };
  for (const auto& [names, language] : cases) EXPECT_EQ(language_chosen(names), language) << names.size();
}

// Every catalog has every message, none empty, each with the placeholders of its English
// text; fillings go in as they are.
TEST(UiText, EveryCatalogSaysEveryMessageWithItsPlaceholders) {
  ASSERT_EQ(std::set<std::string_view>(platform::shipped_languages().begin(), platform::shipped_languages().end()),
            (std::set<std::string_view>{"de", "es", "fr", "pl", "ru"}));
  std::set<std::string> english;
  for (const auto& [message, translation] : platform::catalog_messages("de")) english.insert(message);
  EXPECT_GE(english.size(), 40u);
  for (std::string_view language : platform::shipped_languages()) {
    std::set<std::string> messages;
    for (const auto& [message, translation] : platform::catalog_messages(language)) {
      messages.insert(message);
      EXPECT_FALSE(translation.empty()) << language << ": " << message;
      auto wanted = platform::placeholders_of(message), given = platform::placeholders_of(translation);
      std::ranges::sort(wanted);
      std::ranges::sort(given);
      EXPECT_EQ(given, wanted) << language << ": " << translation;
    }
    EXPECT_EQ(messages, english) << language;
  }
  const std::string pattern = "{site} asks to sign with your certificate.";
  for (const char* language : {"en", "de"}) {
    platform::use_ui_languages(std::vector<std::string>{language});
    const std::string shown = platform::ui_text(pattern, {{"site", "{site}{name}"}});
    EXPECT_NE(shown.find("{site}{name}"), std::string::npos) << shown;
    EXPECT_EQ(shown == "{site}{name} asks to sign with your certificate.", std::string(language) == "en") << shown;
    EXPECT_EQ(platform::ui_text("Certificate: {name}", {}), platform::ui_text("Certificate: {name}"));
    EXPECT_EQ(platform::ui_text("a text no catalog has"), "a text no catalog has");
  }
  platform::use_ui_languages(std::vector<std::string>{"en"});
}

}  // namespace
}  // namespace p11agent
