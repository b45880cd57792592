#include "desktop/cert_picker.h"

#include "settings/deployer_settings.h"

namespace p11agent::platform {

bool cert_choice_required() { return deployer_switch_on("RequireCertChoice"); }

bool cert_listing_allowed() { return deployer_switch_on("AllowCertListing"); }

}  // namespace p11agent::platform
