#include "desktop/ui_text.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>

#include "desktop/ui_language.h"

// The compiled catalogs (.mo files), built into the program so that the Windows executable
// stays one file and no installed locale data is needed.
namespace p11agent::platform::built_catalogs {
extern const char* const LANGUAGES[];
extern const unsigned char* const DATA[];
extern const std::size_t SIZES[];
extern const std::size_t COUNT;
}  // namespace p11agent::platform::built_catalogs

namespace p11agent::platform {

namespace {

using Messages = std::map<std::string, std::string, std::less<>>;

struct Catalog {
  std::string language;
  Messages messages;
};

// A .mo file's 32-bit word at `at`, in the file's own byte order; nullopt past its end.
std::optional<std::uint32_t> word(std::span<const unsigned char> mo, std::size_t at, bool big_endian) {
  if (at > mo.size() || mo.size() - at < 4) return std::nullopt;
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) value |= std::uint32_t{mo[at + (big_endian ? 3 - i : i)]} << (8 * i);
  return value;
}

// The string a .mo table entry (length, offset) at `at` points to; nullopt where it leaves
// the file.
std::optional<std::string> entry(std::span<const unsigned char> mo, std::size_t at, bool big_endian) {
  const auto length = word(mo, at, big_endian);
  const auto offset = word(mo, at + 4, big_endian);
  if (!length || !offset || *offset > mo.size() || mo.size() - *offset < *length) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(mo.data()) + *offset, *length);
}

// The messages of a compiled catalog: the header, messages with plural forms and empty
// translations are left out (English is shown for those).
Messages parse_mo(std::span<const unsigned char> mo) {
  constexpr std::uint32_t MAGIC = 0x950412de;
  Messages messages;
  const auto magic = word(mo, 0, false);
  if (!magic || (*magic != MAGIC && *magic != 0xde120495)) return messages;
  const bool big_endian = *magic != MAGIC;
  const auto count = word(mo, 8, big_endian);
  const auto originals = word(mo, 12, big_endian);
  const auto translations = word(mo, 16, big_endian);
  if (!count || !originals || !translations) return messages;
  for (std::size_t i = 0; i < *count; ++i) {
    auto english = entry(mo, *originals + 8 * i, big_endian);
    auto own = entry(mo, *translations + 8 * i, big_endian);
    if (!english || !own) return messages;
    if (english->empty() || own->empty() || english->find('\0') != std::string::npos) continue;
    messages.emplace(std::move(*english), std::move(*own));
  }
  return messages;
}

const std::vector<Catalog>& catalogs() {
  static const std::vector<Catalog> all = [] {
    std::vector<Catalog> read;
    for (std::size_t i = 0; i < built_catalogs::COUNT; ++i)
      read.push_back({built_catalogs::LANGUAGES[i], parse_mo({built_catalogs::DATA[i], built_catalogs::SIZES[i]})});
    return read;
  }();
  return all;
}

// The language of a tag: "de" of "de_DE.UTF-8@euro", of "de-AT" and of "de"; "c" of "C".
std::string language_of(std::string_view tag) {
  std::string language(tag.substr(0, tag.find_first_of("_-.@")));
  std::ranges::transform(language, language.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
  return language;
}

// The chosen catalog; nullptr for English.
std::atomic<const Catalog*> g_chosen{nullptr};
std::once_flag g_user_languages_read;

const Catalog* catalog_for(std::span<const std::string> preferred) {
  for (const std::string& tag : preferred) {
    const std::string language = language_of(tag);
    if (language == "en" || language == "c" || language == "posix") return nullptr;
    for (const Catalog& catalog : catalogs())
      if (catalog.language == language) return &catalog;
  }
  return nullptr;
}

const Catalog* chosen_catalog() {
  std::call_once(g_user_languages_read, [] { g_chosen = catalog_for(preferred_ui_languages()); });
  return g_chosen.load();
}

}  // namespace

std::span<const std::string_view> shipped_languages() {
  static const std::vector<std::string_view> languages(built_catalogs::LANGUAGES,
                                                       built_catalogs::LANGUAGES + built_catalogs::COUNT);
  return languages;
}

void use_ui_languages(std::span<const std::string> preferred) {
  std::call_once(g_user_languages_read, [] {});  // the user's own are not read after this
  g_chosen = catalog_for(preferred);
}

std::string ui_language() {
  const Catalog* catalog = chosen_catalog();
  return catalog != nullptr ? catalog->language : "en";
}

std::string ui_text(std::string_view english) {
  if (const Catalog* catalog = chosen_catalog()) {
    if (auto found = catalog->messages.find(english); found != catalog->messages.end()) return found->second;
  }
  return std::string(english);
}

std::string ui_text(std::string_view english, std::initializer_list<Filling> fillings) {
  const std::string pattern = ui_text(english);
  std::string text;
  std::size_t from = 0;
  for (std::size_t open; (open = pattern.find('{', from)) != std::string::npos;) {
    const std::size_t close = pattern.find('}', open);
    if (close == std::string::npos) break;
    const std::string_view name = std::string_view(pattern).substr(open + 1, close - open - 1);
    const auto filling = std::ranges::find(fillings, name, &Filling::first);
    text.append(pattern, from, open - from);
    if (filling != fillings.end())
      text += filling->second;
    else
      text.append(pattern, open, close + 1 - open);
    from = close + 1;
  }
  return text.append(pattern, from);
}

std::vector<std::pair<std::string, std::string>> catalog_messages(std::string_view language) {
  for (const Catalog& catalog : catalogs())
    if (catalog.language == language) return {catalog.messages.begin(), catalog.messages.end()};
  return {};
}

std::vector<std::string> placeholders_of(std::string_view text) {
  std::vector<std::string> found;
  for (std::size_t open = 0; (open = text.find('{', open)) != std::string_view::npos; ++open) {
    const std::size_t close = text.find('}', open);
    if (close == std::string_view::npos) break;
    found.emplace_back(text.substr(open, close + 1 - open));
  }
  return found;
}

}  // namespace p11agent::platform
