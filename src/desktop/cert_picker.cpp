#include "desktop/cert_picker.h"

#include "settings/settings.h"

namespace p11agent::platform {

bool cert_choice_required() { return settings().require_cert_choice.on; }

bool cert_listing_allowed() { return settings().allow_cert_listing.on; }

}  // namespace p11agent::platform
