// p11agent --doctor: its judgements on facts of each kind a broken installation shows, the
// machine read from a module's header, and the whole command on the test bed's modules.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <filesystem>
#include <fstream>

#include "app/doctor.h"
#include "support/agent.h"
#include "support/fake_token.h"

namespace p11agent {
namespace {

using namespace testing_support;

const std::string OWN = "/opt/p11agent/p11agent";

DoctorFacts healthy() {
  DoctorFacts facts;
  facts.version = "p11agent 1.0 (test)";
  facts.build = "1.0 (test)";
  facts.host = {"/opt/p11agent/p11agent-host", true, "1.0 (test)"};
  facts.own_executable = OWN;
  ModuleFacts module;
  module.path = "/usr/lib/vendor.so";
  module.present = true;
  module.slots = 1;
  module.tokens = {{"Signing card", 2}};
  facts.modules = {module};
  facts.modules_registered = true;
  RegistrationFacts place;
  place.manifest = "/home/u/.config/chromium/NativeMessagingHosts/p11agent.json";
  place.present = place.parses = true;
  place.executable = OWN;
  place.allowed = {"chrome-extension://abcdefghijklmnopabcdefghijklmnop/"};
  facts.registrations = {place};
  facts.pin_prompt = {"/usr/bin/pinentry", ""};
  facts.picker = {"/usr/bin/zenity", ""};
  facts.screen_lock = {"the desktop's screensaver on the session bus", ""};
  return facts;
}

TEST(Doctor, JudgesEachFactAsAHelpdeskNeedsIt) {
  struct Case {
    const char* name;
    void (*broken)(DoctorFacts&);
    std::string check;  // the check's name starts so
    CheckStatus status;
    std::string detail;  // in its detail
  };
  const Case cases[] = {
      {"a healthy module", [](DoctorFacts&) {}, "module /usr/lib/vendor.so", CheckStatus::Ok,
       "loads; 1 token: 'Signing card' (2 certificates)"},
      {"a registered module missing", [](DoctorFacts& f) { f.modules[0].present = false; }, "module", CheckStatus::Fail,
       "registered with p11-kit, but the file is missing"},
      {"a known place empty (Windows)",
       [](DoctorFacts& f) {
         f.modules_registered = false;
         f.modules.push_back(f.modules[0]);
         f.modules[1].path = "C:\\Windows\\System32\\absent.dll";
         f.modules[1].present = false;
       },
       "module C:", CheckStatus::Ok, "not installed"},
      {"a 32-bit module", [](DoctorFacts& f) { f.modules[0].unloadable = platform::wrong_machine_text({platform::Machine::X86, "i386"}); }, "module",
       CheckStatus::Fail, "32-bit; p11agent is 64-bit: install the vendor's 64-bit module (not loaded)"},
      {"a 32-bit module in the 32-bit host", [](DoctorFacts& f) { f.modules[0].in_32bit_host = true; }, "module",
       CheckStatus::Ok, "32-bit, in the 32-bit host; loads; 1 token: 'Signing card' (2 certificates)"},
      {"a 32-bit module without the 32-bit host: said once",
       [](DoctorFacts& f) {
         f.modules[0].in_32bit_host = f.modules[0].host_missing = true;
         f.modules[0].tokens.clear();
       },
       "module", CheckStatus::Fail, "32-bit; the 32-bit host is missing: reinstall p11agent"},
      {"the module host", [](DoctorFacts&) {}, "module host", CheckStatus::Ok, "1.0 (test): /opt/p11agent/p11agent-host"},
      {"the module host missing", [](DoctorFacts& f) { f.host.present = false; }, "module host", CheckStatus::Fail,
       "missing: /opt/p11agent/p11agent-host: no module can be used; reinstall p11agent"},
      {"another build's module host", [](DoctorFacts& f) { f.host.version = "0.9 (test)"; }, "module host",
       CheckStatus::Fail, "0.9 (test), not this agent's build (1.0 (test)): /opt/p11agent/p11agent-host: reinstall"},
      {"a module host that states no version", [](DoctorFacts& f) { f.host.version.clear(); }, "module host",
       CheckStatus::Fail, "of an unknown version, not this agent's build"},
      {"the 32-bit host", [](DoctorFacts& f) { f.host_32 = platform::HostExecutable{"C:\\p\\p11agent-host32.exe", true, "p11agent-host32 1.0"}; },
       "32-bit module host", CheckStatus::Ok, "p11agent-host32 1.0: C:\\p\\p11agent-host32.exe"},
      {"the 32-bit host missing where one user registered",
       [](DoctorFacts& f) { f.host_32 = platform::HostExecutable{"C:\\p\\p11agent-host32.exe", false, ""}; },
       "32-bit module host", CheckStatus::Warn, "missing: C:\\p\\p11agent-host32.exe: 32-bit modules cannot be used"},
      {"the 32-bit host missing where every user's browsers start the agent",
       [](DoctorFacts& f) {
         f.host_32 = platform::HostExecutable{"C:\\p\\p11agent-host32.exe", false, ""};
         f.registrations[0].every_user = true;
       },
       "32-bit module host", CheckStatus::Fail, "missing: C:\\p\\p11agent-host32.exe: 32-bit modules cannot be used"},
      {"a module that hangs in C_Initialize",
       [](DoctorFacts& f) { f.modules[0].load_error = "C_Initialize: the module did not answer within 8 s"; }, "module",
       CheckStatus::Fail, "does not load: C_Initialize: the module did not answer within 8 s"},
      {"a module that fails reading its slots: no missing token",
       [](DoctorFacts& f) {
         f.modules[0].tokens.clear();
         f.modules[0].token_error = "Function::GetSlotList: the module did not answer within 20 s";
       },
       "module", CheckStatus::Fail, "loads, but Function::GetSlotList: the module did not answer within 20 s"},
      {"a label that would clear the terminal and turn the line around",
       [](DoctorFacts& f) { f.modules[0].tokens[0].label = "\x1b[2J\u202eevil"; }, "module", CheckStatus::Ok,
       "'<U+001B>[2J<U+202E>evil' (2 certificates)"},
      {"a module path that would clear the terminal and turn the line around",
       [](DoctorFacts& f) { f.modules[0].path = "/usr/lib/\x1b[2J\u202e.so"; }, "module /usr/lib/<U+001B>[2J<U+202E>.so",
       CheckStatus::Ok, "loads"},
      {"a module path that is a FIFO", [](DoctorFacts& f) { f.modules[0].unloadable = platform::wrong_machine_text({platform::Machine::NotAFile, ""}); },
       "module", CheckStatus::Fail, "not a regular file (a FIFO, a device or a folder): not a module (not loaded)"},
      {"no token", [](DoctorFacts& f) { f.modules[0].tokens.clear(); }, "module", CheckStatus::Warn,
       "no token in its slots: insert the token"},
      {"no module that loads", [](DoctorFacts& f) { f.modules[0].load_error = "load x: libloading error"; }, "modules",
       CheckStatus::Fail, "no PKCS#11 module is registered with p11-kit and loads"},
      {"no manifest", [](DoctorFacts& f) { f.registrations[0].present = false; }, "browser registration",
       CheckStatus::Fail, "not registered for any browser: run p11agent --register-host --chrome-extension"},
      {"a manifest naming another executable",
       [](DoctorFacts& f) { f.registrations[0].executable = "/usr/bin/p11agent"; }, "browser registration /home",
       CheckStatus::Fail, "names /usr/bin/p11agent, not this p11agent (/opt/p11agent/p11agent): run p11agent --register-host"},
      {"a broken manifest", [](DoctorFacts& f) { f.registrations[0].parses = false; }, "browser registration /home",
       CheckStatus::Fail, "is not a host manifest p11agent wrote"},
      {"an executable others can change",
       [](DoctorFacts& f) { f.registrations[0].changeable_by_others = "/opt/p11agent is writable by others"; },
       "browser registration /home", CheckStatus::Fail, "/opt/p11agent is writable by others: another account could"},
      {"a manifest its browser's key does not name (Windows)",
       [](DoctorFacts& f) { f.registrations[0].keys_not_naming_it = {"HKCU\\Software\\Google\\Chrome\\NativeMessagingHosts\\p11agent"}; },
       "browser registration /home", CheckStatus::Fail, "which does not name it: run p11agent --register-host"},
      {"no pinentry",
       [](DoctorFacts& f) { f.pin_prompt = {"/usr/bin/pinentry", "no pinentry program found: install the pinentry-gnome3 package"}; },
       "PIN prompt", CheckStatus::Fail, "install the pinentry-gnome3 package"},
      {"a terminal pinentry",
       [](DoctorFacts& f) { f.pin_prompt = {"/usr/bin/pinentry-curses", "/usr/bin/pinentry-curses needs a terminal", true}; },
       "PIN prompt", CheckStatus::Warn, "needs a terminal"},
      {"no picker", [](DoctorFacts& f) { f.picker = {"", "no certificate picker found: install the zenity package"}; },
       "certificate picker", CheckStatus::Warn, "install the zenity package"},
      {"the deployer's settings", [](DoctorFacts& f) { f.require_pin_prompt = true; }, "deployer settings",
       CheckStatus::Ok,
       "RequirePinPrompt on, RequireCertChoice off, AllowCertListing off; in the browser host SignatureConsent each, "
       "LoginIdleSeconds 600, LockEndsLogins 1; in serve SignatureConsent none, LoginIdleSeconds 0 (never), "
       "LockEndsLogins 0"},
      {"the deployer's choices for logins",
       [](DoctorFacts& f) { f.login_settings = {"pin", "30", "1"}; }, "deployer settings", CheckStatus::Ok,
       "in the browser host SignatureConsent pin, LoginIdleSeconds 30, LockEndsLogins 1; in serve SignatureConsent pin, "
       "LoginIdleSeconds 30, LockEndsLogins 1"},
      {"a consent that is no choice is read as the strictest",
       [](DoctorFacts& f) { f.login_settings.signature_consent = " Sometimes\n"; }, "deployer settings",
       CheckStatus::Warn, "SignatureConsent \"Sometimes\" is not each, pin or none: read as each"},
      {"an idle limit that is no number", [](DoctorFacts& f) { f.login_settings.login_idle_seconds = "ten"; },
       "deployer settings", CheckStatus::Warn, "LoginIdleSeconds \"ten\" is not a whole number of seconds: read as 600"},
      {"a lock rule that is neither 1 nor 0", [](DoctorFacts& f) { f.login_settings.lock_ends_logins = "yes"; },
       "deployer settings", CheckStatus::Warn, "LockEndsLogins \"yes\" is not 1 or 0: read as 1"},
      {"a switch written as text", [](DoctorFacts& f) {
         f.switch_problems = {"HKLM\\Software\\p11agent\\RequirePinPrompt is the text \"1\", not a REG_DWORD: taken as on"};
       },
       "deployer settings", CheckStatus::Warn, "RequirePinPrompt is the text \"1\", not a REG_DWORD: taken as on"},
      {"no session bus", [](DoctorFacts& f) { f.screen_lock = {"", "no session bus here"}; }, "screen lock",
       CheckStatus::Warn, "no session bus here"},
      {"locks end no login", [](DoctorFacts& f) { f.login_settings.lock_ends_logins = "0"; }, "screen lock",
       CheckStatus::Ok, "LockEndsLogins 0: a locked screen does not end logins"},
      {"no trace", [](DoctorFacts&) {}, "trace", CheckStatus::Ok, "off (P11AGENT_TRACE, or the user's trace setting"},
      {"a trace the user's setting names",
       [](DoctorFacts& f) { f.trace = {"/home/a/trace.jsonl", "/home/a/.config/p11agent/trace-file"}; }, "trace",
       CheckStatus::Ok, "on, to /home/a/trace.jsonl (named by /home/a/.config/p11agent/trace-file)"},
      {"a trace that cannot be written",
       [](DoctorFacts& f) {
         f.trace = {"/tmp/t", "P11AGENT_TRACE"};
         f.trace_problem = "is a symbolic link, which the trace never follows";
       },
       "trace", CheckStatus::Warn, "/tmp/t (named by P11AGENT_TRACE) is a symbolic link, which the trace never follows: nothing is traced"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DoctorFacts facts = healthy();
    c.broken(facts);
    const std::vector<Check> checks = diagnose(facts);
    auto found = std::ranges::find_if(checks, [&](const Check& check) {
      return check.check.starts_with(c.check) && check.detail.find(c.detail) != std::string::npos;
    });
    ASSERT_NE(found, checks.end()) << text_report(checks);
    EXPECT_EQ(found->status, c.status) << text_report(checks);
    const bool failed = std::ranges::any_of(checks, [](const Check& check) { return check.status == CheckStatus::Fail; });
    EXPECT_EQ(nlohmann::json::parse(json_report(checks))["ok"], !failed);
  }
  EXPECT_EQ(text_report({{"module /m.so", CheckStatus::Fail, "does not load"}}), "FAIL module /m.so: does not load\n");
}

// A module's machine from its header: PE's COFF machine, ELF's class and e_machine.
TEST(ModuleMachine, IsReadFromTheFilesHeaderBeforeAnyLoad) {
  auto pe = [](std::uint16_t machine) {
    std::string bytes(0x48, '\0');
    bytes[0] = 'M', bytes[1] = 'Z', bytes[0x3C] = 0x40;
    bytes.replace(0x40, 4, std::string("PE\0\0", 4));
    bytes[0x44] = static_cast<char>(machine & 0xFF), bytes[0x45] = static_cast<char>(machine >> 8);
    return bytes;
  };
  auto elf = [](char bits_class, std::uint16_t machine) {
    std::string bytes(64, '\0');
    bytes.replace(0, 4, "\x7F" "ELF");
    bytes[4] = bits_class, bytes[5] = 1;
    bytes[18] = static_cast<char>(machine & 0xFF), bytes[19] = static_cast<char>(machine >> 8);
    return bytes;
  };
  const std::tuple<std::string, platform::Machine, std::string> cases[] = {
      {pe(0x8664), platform::Machine::Native, "x86-64"}, {pe(0x014C), platform::Machine::X86, "i386"},
      {pe(0xAA64), platform::Machine::Other, "ARM64"},   {elf(2, 62), platform::Machine::Native, "x86-64"},
      {elf(1, 3), platform::Machine::X86, "i386"},    {elf(2, 183), platform::Machine::Other, "ARM64"},
      {pe(0x01C4), platform::Machine::Bits32, "ARM"}, {elf(1, 40), platform::Machine::Bits32, "ARM"},
      {"not a module at all", platform::Machine::Unknown, ""},
  };
  const std::string file = std::filesystem::temp_directory_path().string() + "/p11agent-machine-test.bin";
  for (const auto& [bytes, machine, name] : cases) {
    std::ofstream(file, std::ios::binary) << bytes;
    const platform::ModuleMachine read = platform::read_module_machine(file);
    EXPECT_EQ(read.machine, machine) << name;
    EXPECT_EQ(read.name, name);
  }
  std::filesystem::remove(file);
  EXPECT_EQ(platform::read_module_machine(file).machine, platform::Machine::Unknown);
  // A folder, and a FIFO (whose opening would wait for a writer forever), are never opened.
  EXPECT_EQ(platform::read_module_machine(std::filesystem::temp_directory_path().string()).machine,
            platform::Machine::NotAFile);
#ifndef _WIN32
  ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
  EXPECT_EQ(platform::read_module_machine(file).machine, platform::Machine::NotAFile);
  std::filesystem::remove(file);
#endif
}

}  // namespace
}  // namespace p11agent
