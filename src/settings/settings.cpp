#include "settings/settings.h"

#include <atomic>

namespace p11agent::platform {

namespace {

std::atomic<std::size_t> g_reads{0};

std::optional<std::string> deployers(const char* name) {
  ++g_reads;
  return deployer_setting(name);
}

DeployerSwitch deployers_switch(const char* name) {
  ++g_reads;
  return deployer_switch(name);
}

Settings read_settings() {
  Settings read;
  read.require_pin_prompt = deployers_switch(REQUIRE_PIN_PROMPT);
  read.require_cert_choice = deployers_switch(REQUIRE_CERT_CHOICE);
  read.allow_cert_listing = deployers_switch(ALLOW_CERT_LISTING);
  read.signature_consent = deployers(SIGNATURE_CONSENT);
  read.login_idle_seconds = deployers(LOGIN_IDLE_SECONDS);
  read.lock_ends_logins = deployers(LOCK_ENDS_LOGINS);
  ++g_reads;
  read.trace_file = user_setting(TRACE_FILE);
  return read;
}

}  // namespace

const Settings& settings() {
  static const Settings read = read_settings();
  return read;
}

std::size_t setting_reads() { return g_reads; }

}  // namespace p11agent::platform
