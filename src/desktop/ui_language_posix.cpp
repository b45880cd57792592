#include "desktop/ui_language.h"

namespace p11agent::platform {

std::vector<std::string> preferred_ui_languages() { return gettext_languages(language_environment()); }

}  // namespace p11agent::platform
