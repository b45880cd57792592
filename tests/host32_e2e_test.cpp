// A vendor module that exists only as a 32-bit DLL runs in the 32-bit module host, and
// every caller sees the same agent: each row runs with the test module built as a 64-bit
// DLL at its known path, as a 32-bit DLL only in SysWOW64 under the known name, and as a
// 32-bit DLL at the known path itself (the real System32). The answers, the exit statuses
// and the calls the module sees must be the same each time.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>

#include "support/agent.h"
#include "support/deployer.h"
#include "token/certificate.h"
#include "pkcs11/cryptoki.h"
#include "token/module.h"

namespace p11agent {
namespace {

using namespace testing_support;

const std::string CERT = der_with_serial("3232");
const std::string PRINT = thumbprint_of(hex_bytes(CERT)).value();
const std::string OTHER_CERT = der_with_serial("6464");
const std::string OTHER_PRINT = thumbprint_of(hex_bytes(OTHER_CERT)).value();

json signing_token(const std::string& cert = CERT, CK_FLAGS flags = 0) {
  return {{"slots", json::array({slot(1, token("Card", "32", {certificate(cert, "01"), private_key("01")}, flags))})}};
}

std::string sign(const std::string& pin, const std::string& thumbprint = PRINT) {
  return json{{"cmd", "sign"}, {"thumbprint", thumbprint}, {"hash_hex", "0a0b0c"}, {"pin", pin}}.dump();
}
std::string validate(const std::string& pin) {
  return json{{"cmd", "validate"}, {"thumbprint", PRINT}, {"pin", pin}}.dump();
}

// A browser's native message: its length in the machine's byte order, then the JSON.
std::string framed(const std::string& message) {
  const auto length = static_cast<std::uint32_t>(message.size());
  return std::string(reinterpret_cast<const char*>(&length), 4) + message;
}

const ModuleBuild BUILDS[] = {ModuleBuild::Native, ModuleBuild::Only32InWow64, ModuleBuild::Only32AtPath};
const char* name_of(ModuleBuild build) {
  return build == ModuleBuild::Native ? "64-bit" : build == ModuleBuild::Only32InWow64 ? "32-bit in SysWOW64"
                                                                                       : "32-bit in System32";
}

// The vendor module that needs its install folder on the DLL search path, with the DLL it
// depends on in that folder: beside the module's own file, wherever that is.
void install_dependent_module(const std::string& path, ModuleBuild build) {
  install_known_module(path, signing_token(), build, "fake_pkcs11_dependent");
  const std::string folder = std::string(DIRECTORY_RULE_FOLDER);
  const std::string runtime = "\\watchdata_runtime.dll";
  const std::string built = build == ModuleBuild::Native ? "watchdata\\watchdata_runtime" : "host32\\watchdata\\watchdata_runtime";
  install_file(fake_module_path(built), (build == ModuleBuild::Only32InWow64 ? wow64_twin(folder) : folder) + runtime);
}

const std::string NEIGHBOUR_DLL = "C:\\Windows\\System32\\watchdata_runtime.dll";

// A vendor module with the DLL it depends on beside it, at its known path: found there as
// its installer put it, whatever the system folder of the process that loads it.
void install_module_beside_its_dll(const std::string& path, ModuleBuild build) {
  install_known_module(path, signing_token(), build, "fake_pkcs11_dependent");
  const std::string built = build == ModuleBuild::Native ? "watchdata\\watchdata_runtime" : "host32\\watchdata\\watchdata_runtime";
  install_file(fake_module_path(built), build == ModuleBuild::Only32InWow64 ? wow64_twin(NEIGHBOUR_DLL) : NEIGHBOUR_DLL);
}

class Host32Test : public ::testing::Test {
 protected:
  void SetUp() override { uninstall(); }
  void TearDown() override { uninstall(); }
  void uninstall() {
    uninstall_known_modules();
    std::error_code ignored;
    for (const std::string& folder : {std::string(DIRECTORY_RULE_FOLDER), wow64_twin(std::string(DIRECTORY_RULE_FOLDER))})
      std::filesystem::remove_all(folder, ignored);
    for (const std::string& file : {std::string(NEIGHBOUR_DLL), wow64_twin(std::string(NEIGHBOUR_DLL))}) remove_file(file);
  }
  std::vector<std::string> known = test_known_modules();
  // A browser's site lists and signs here as an application does.
  DeployerSetting listing{L"AllowCertListing"};
};

TEST_F(Host32Test, A32BitModuleAnswersAsA64BitOne) {
  REQUIRE_32BIT_PROGRAMS();
  struct Case {
    const char* name;
    std::string module;  // the known path
    json scenario;
    std::vector<std::string> args;
    std::string input;
    std::string shows;  // the 64-bit module's answers hold this
    // Where the scenario is not all: installs the module itself.
    void (*install)(const std::string& path, ModuleBuild build) = nullptr;
  };
  const std::string first = known.at(0);
  const std::string enumerate = json{{"cmd", "enumerate"}, {"module", first}}.dump();
  const std::vector<Case> cases = {
      {"enumerate", first, signing_token(), {}, enumerate, "certificates: 1"},
      {"list_certs", first, signing_token(), {}, R"({"cmd":"list_certs"})", PRINT},
      {"find_cert", first, signing_token(), {}, json{{"cmd", "find_cert"}, {"thumbprint", PRINT}}.dump(), "\"ok\":true"},
      {"one-shot sign", first, signing_token(), {}, sign("1234"), "\"signature_hex\":\"0a0b0c"},
      {"serve: validate, cached signatures, logout", first, signing_token(), {"serve"},
       validate("1234") + "\n" + validate("1234") + "\n" + sign("1234") + "\n" + sign("1234") + "\n" +
           R"({"cmd":"logout"})" + "\n",
       R"({"cached":true,"ok":true})"},
      {"browser host: list and sign", first, signing_token(), {"chrome-extension://abcdefghijklmnopabcdefghijklmnop/"},
       framed(R"({"cmd":"list_certs"})") + framed(sign("1234")), "\"signature_hex\":\"0a0b0c"},
      {"a wrong PIN, tries left", first, signing_token(CERT, CKF_USER_PIN_FINAL_TRY), {}, sign("0000"), "WRONG_PIN:1"},
      {"serve: a wrong PIN is not tried again", first, signing_token(), {"serve"},
       validate("0000") + "\n" + sign("0000") + "\n" + validate("1234") + "\n", "WRONG_PIN:-1"},
      {"a locked token", first,
       [] {
         json locked = signing_token(CERT, CKF_USER_PIN_LOCKED);
         locked["fail"] = json::array({failure("C_Login", CKR_PIN_LOCKED)});
         return locked;
       }(),
       {}, sign("1234"), "WRONG_PIN:0"},
      {"a module that hangs in C_Initialize", first, {{"hang", {"C_Initialize"}}}, {}, enumerate,
       "did not answer within 8 s"},
      {"serve: a module that crashes in C_Sign, and the agent goes on", first,
       {{"crash", {"C_Sign"}}, {"slots", signing_token()["slots"]}}, {"serve"},
       validate("1234") + "\n" + sign("1234") + "\n" + R"({"cmd":"ping"})" + "\n", "the module ended unexpectedly"},
      {"a module beside the DLL it depends on in its own folder", std::string(DIRECTORY_RULE_MODULE), {}, {},
       json{{"cmd", "enumerate"}, {"module", std::string(DIRECTORY_RULE_MODULE)}}.dump(), "certificates: 1",
       &install_dependent_module},
      {"serve: a module beside the DLL it depends on lists and signs", first, {}, {"serve"},
       std::string(R"({"cmd":"list_certs"})") + "\n" + sign("1234") + "\n", "\"signature_hex\":\"0a0b0c",
       &install_module_beside_its_dll},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string module_file = file_name_of(c.module);
    std::optional<RunResult> native;
    std::vector<std::string> native_calls;
    for (ModuleBuild build : BUILDS) {
      SCOPED_TRACE(name_of(build));
      uninstall();
      if (c.install != nullptr) {
        c.install(c.module, build);
      } else {
        install_known_module(c.module, c.scenario, build);
      }
      const RunResult result = run_agent(c.input, c.args);
      const std::vector<std::string> calls = fake_folder().call_log(module_file);
      if (!native) {
        EXPECT_NE(result.out.find(c.shows), std::string::npos) << result.out;
        native = result;
        native_calls = calls;
        continue;
      }
      EXPECT_EQ(result.out, native->out);
      EXPECT_EQ(result.status, native->status);
      EXPECT_EQ(calls, native_calls);
    }
  }
}

// A 64-bit and a 32-bit module side by side in one serve: each lists and signs, and a
// signature through either host after the first is made on the held session.
TEST_F(Host32Test, A64BitAnd32BitModuleServeSideBySide) {
  REQUIRE_TEST_BED_MODULES(2);
  REQUIRE_32BIT_PROGRAMS();
  install_known_module(known[0], signing_token(OTHER_CERT));
  install_known_module(known[1], signing_token(), ModuleBuild::Only32InWow64);
  const std::string input = std::string(R"({"cmd":"ping"})") + "\n" + R"({"cmd":"list_certs"})" + "\n" +
                            sign("1234") + "\n" + sign("1234", OTHER_PRINT) + "\n" + sign("1234") + "\n" +
                            sign("1234", OTHER_PRINT) + "\n";
  const RunResult served = run_agent(input, {"serve"});
  std::vector<json> answers;
  for (std::size_t at = 0, end; (end = served.out.find('\n', at)) != std::string::npos; at = end + 1)
    answers.push_back(json::parse(served.out.substr(at, end - at)));
  ASSERT_EQ(answers.size(), 6u) << served.out;
  EXPECT_EQ(answers[0]["modules"], 2);
  ASSERT_EQ(answers[1]["certs"].size(), 2u) << answers[1].dump();
  for (std::size_t i = 2; i < 6; ++i) {
    EXPECT_EQ(answers[i]["ok"], true) << answers[i].dump();
    EXPECT_EQ(answers[i]["module"], i % 2 == 0 ? known[1] : known[0]);
  }
  for (const std::string& path : {known[0], known[1]})
    EXPECT_EQ(count_calls(fake_folder().call_log(file_name_of(path)), "C_Login"), 1) << path;
}

// Without the 32-bit host beside the agent, a 32-bit module's error says what is missing,
// and --doctor fails it, saying so once; with the host, --doctor names it as working.
TEST_F(Host32Test, TheDoctorNamesThe32BitHostOrWhatIsMissing) {
  install_known_module(known[0], signing_token(), ModuleBuild::Only32InWow64);
  auto doctor_detail = [&] {
    const json report = json::parse(run_agent("", {"--doctor", "--json"}).out);
    for (const json& check : report["checks"])
      if (check["check"] == "module " + known[0]) return check["status"].get<std::string>() + ": " + check["detail"].get<std::string>();
    return std::string("no check");
  };
  if (runs_32bit_programs()) {
    EXPECT_EQ(doctor_detail(), "ok: 32-bit, in the 32-bit host; loads; 1 token: 'Card' (1 certificate)");
  }
  const std::string host = executable_folder() + "\\p11agent-host32.exe";
  const std::string moved = host + ".moved";
  std::filesystem::rename(host, moved);
  const std::string missing =
      "the module is 32-bit and p11agent's 32-bit module host (p11agent-host32.exe, beside p11agent.exe) is missing: "
      "reinstall p11agent";
  // Said once: that the module is 32-bit and that its host is missing.
  EXPECT_EQ(doctor_detail(), "fail: 32-bit; the 32-bit host is missing: reinstall p11agent");
  const json failed = {{"error", "load " + known[0] + ": " + missing}, {"ok", false}};
  EXPECT_EQ(run_agent(json{{"cmd", "enumerate"}, {"module", known[0]}}.dump()).out, failed.dump() + "\n");
  std::filesystem::rename(moved, host);
}

}  // namespace
}  // namespace p11agent
