#pragma once
// What a person reads on the agent's screens (the PIN prompt, the certificate picker, the
// dialogs' buttons), in the user's language. The English text is the key: each shipped
// language's catalog (a gettext catalog, built into the program) maps it to its own words,
// and a language or a message the catalogs lack is shown in English. Answers to programs
// never pass through here: they stay what they are in every language.
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace p11agent::platform {

// The languages the agent has a catalog for, besides English.
std::span<const std::string_view> shipped_languages();

// The catalog of the first of `preferred` (tags such as "de_DE", "de-AT" or "fr") that the
// agent ships, matched on the language alone; English where an English tag ("en", "C",
// "POSIX") comes first or nothing matches. What `ui_text` uses from then on.
void use_ui_languages(std::span<const std::string> preferred);

// The language `ui_text` speaks ("en" for English): the user's own (preferred_ui_languages)
// unless use_ui_languages chose another.
std::string ui_language();

// `english` in the chosen language; `english` itself where the catalog lacks it.
std::string ui_text(std::string_view english);

// Marks an English text that is passed to ui_text later (a table of column titles), so
// that the check of the catalogs against the code finds it.
constexpr const char* ui_message(const char* english) { return english; }

// A placeholder and what stands in it.
using Filling = std::pair<std::string_view, std::string_view>;

// `ui_text(english)` with each "{name}" replaced by its filling. Fillings are inserted as
// they are (a certificate's name is never read for placeholders), and a placeholder without
// a filling stays as written.
std::string ui_text(std::string_view english, std::initializer_list<Filling> fillings);

// Every message of `language`'s catalog, as (English, translation); none for English.
std::vector<std::pair<std::string, std::string>> catalog_messages(std::string_view language);

// The placeholders of a message ("{site}", "{name}"), in order of appearance.
std::vector<std::string> placeholders_of(std::string_view text);

}  // namespace p11agent::platform
