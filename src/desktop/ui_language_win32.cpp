#include "desktop/ui_language.h"

#include <windows.h>

#include <cwchar>

#include "system/wide.h"

namespace p11agent::platform {

// The user's display languages, best first ("de-DE", then "en-US"): an ordered list of
// names, each ended by a null character and the whole by a second one
// (GetUserPreferredUILanguages, MUI_LANGUAGE_NAME).
std::vector<std::string> preferred_ui_languages() {
  ULONG count = 0;
  ULONG size = 0;
  if (!GetUserPreferredUILanguages(MUI_LANGUAGE_NAME, &count, nullptr, &size) || size == 0) return {};
  std::wstring list(size, L'\0');
  if (!GetUserPreferredUILanguages(MUI_LANGUAGE_NAME, &count, list.data(), &size)) return {};
  std::vector<std::string> languages;
  // The string's own terminator ends the list even where the system wrote one null too few.
  for (const wchar_t* name = list.c_str(); *name != L'\0'; name += wcslen(name) + 1) languages.push_back(to_utf8(name));
  return languages;
}

}  // namespace p11agent::platform
