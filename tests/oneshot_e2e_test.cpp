// The one-shot agent as a caller runs it: one request in, one line and an exit status out.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "wire/response.h"
#include "system/files.h"
#include "settings/host_places.h"
#include "system/library.h"
#include "support/agent.h"
#include "token/certificate.h"
#include "token/module.h"

namespace p11agent {
namespace {

using namespace testing_support;

const std::string CERT_A = der_with_serial("008f3a");
const std::string CERT_B = der_with_serial("0b0b");
const std::string PRINT_A = thumbprint_of(hex_bytes(CERT_A)).value();
const std::string PRINT_B = thumbprint_of(hex_bytes(CERT_B)).value();

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string line(const Json& answer) { return render_json(answer) + "\n"; }
std::string failure_line(const std::string& message) { return error_response_text(message) + "\n"; }

json one_slot(const std::vector<json>& objects, const std::string& label = "Token", const std::string& serial = "SER") {
  return {{"slots", json::array({slot(1, token(label, serial, objects))})}};
}

class OneShotTest : public ::testing::Test {
 protected:
  void SetUp() override { uninstall_known_modules(); }
  void TearDown() override { uninstall_known_modules(); }
  std::vector<std::string> known = test_known_modules();
  std::string missing = fake_module_path("no_such_module");
};

TEST_F(OneShotTest, AnswersBadInputWithOneLineAndStatusOne) {
  struct Case {
    std::string input;
    std::vector<std::string> args;
    std::string error;
  };
  const std::string unknown = "' (use: enumerate | list_certs | sign | find_cert)";
  const std::vector<Case> cases = {
      {"", {}, "invalid JSON request: EOF while parsing a value at line 1 column 0"},
      {" \r\n\t\xe2\x80\x83", {}, "invalid JSON request: EOF while parsing a value at line 1 column 0"},
      {"\xef\xbb\xbf{\"cmd\":\"list_certs\"}", {}, "invalid JSON request: expected value at line 1 column 1"},
      {"{\"cmd\":\"list_certs\"}\xff", {}, "failed to read request from stdin"},
      {"{\"cmd\":\"\xed\xa0\x80\"}", {}, "failed to read request from stdin"},
      {"\n{\"cmd\":5}", {}, "invalid JSON request: invalid type: integer `5`, expected a string at line 1 column 8"},
      {"{\"cmd\":\"x\",\"a\":" + std::string(200, '['), {}, "invalid JSON request: recursion limit exceeded at line 1 column 142"},
      {"{\"cmd\":\"serve\"}", {}, "unknown cmd 'serve" + unknown},
      {"{\"cmd\":\"Sign\"}", {}, "unknown cmd 'Sign" + unknown},
      {"{\"cmd\":\"a\\\"\\n\"}", {}, "unknown cmd 'a\"\n" + unknown},
      {"[\"find_cert\"]", {"SERVE"}, "find_cert requires thumbprint"},
      {"{\"cmd\":\"find_cert\",\"thumbprint\":\"\"}", {"--serve", "serve"}, "find_cert requires thumbprint"},
      // Only the browsers' own forms start the native host.
      {"{\"cmd\":\"find_cert\"}", {"request.json", "--verbose"}, "find_cert requires thumbprint"},
      {"{\"cmd\":\"find_cert\"}", {"chrome-extension://knldjmfmopnpolahpmmgbagdohdnhkiq/"}, "find_cert requires thumbprint"},
      {"{\"cmd\":\"find_cert\"}", {"chrome-extension://x/", "--parent-window=0"}, "find_cert requires thumbprint"},
  };
  for (const auto& c : cases) {
    RunResult result = run_agent(c.input, c.args);
    EXPECT_EQ(result.out, failure_line(c.error)) << c.input;
    EXPECT_EQ(result.status, 1) << c.input;
  }
}

// What is thrown past a mode's own checks (here a C++ exception that a module loaded in
// the agent's process lets out) ends the mode in its usual form: one-shot's error line and
// the doctor's line, with status 1, never a crash without an answer.
TEST_F(OneShotTest, WhatIsThrownPastAModeIsAnsweredInItsFormWithStatusOne) {
  REQUIRE_TEST_BED_MODULES(1);
#ifdef _WIN32
  // A DLL with a C++ runtime of its own cannot throw into the agent (it ends the process
  // there); the modes' guards are the same code on both systems.
  GTEST_SKIP() << "a module's exception does not cross a DLL's boundary";
#endif
  struct Case {
    std::string entry, input;
    std::vector<std::string> args;
    std::string out;
  };
  const std::string sign = json{{"cmd", "sign"}, {"thumbprint", PRINT_A}, {"pin", "1234"}, {"hash_hex", "0102"}}.dump();
  const std::vector<Case> cases = {
      {"C_FindObjects", R"({"cmd":"list_certs"})", {}, failure_line("internal error: the module threw in C_FindObjects")},
      {"C_Sign", sign, {}, failure_line("internal error: the module threw in C_Sign")},
      {"C_GetTokenInfo", "", {"--doctor"}, "internal error: the module threw in C_GetTokenInfo\n"},
  };
  for (const Case& c : cases) {
    install_known_module(known[0], {{"throw", {c.entry}},
                                    {"slots", json::array({slot(1, token("T", "S", {certificate(CERT_A, "01"),
                                                                                    private_key("01")}))})}});
    RunResult run = run_agent(c.input, c.args, AgentBuild::InProcess);
    EXPECT_EQ(run.out, c.out) << c.entry;
    EXPECT_EQ(run.status, 1) << c.entry;
  }
}

TEST_F(OneShotTest, ListCertsAlwaysSucceedsAndJoinsModulesInOrder) {
  REQUIRE_TEST_BED_MODULES(2);
  install_known_module(known[0], one_slot({certificate(CERT_A, "01"), private_key("01")}, "First  ", "S1"));
  install_known_module(known[1], {{"fail", json::array({failure("C_Initialize", CKR_DEVICE_ERROR)})}});
  if (known.size() > 2) install_known_module(known[2], one_slot({certificate(CERT_B, nullptr)}, "Third", "S3"));
  RunResult listed = run_agent(R"({"cmd":"list_certs"})");
  Json certs = Json::array({Json{{"der_b64", base64_encode(hex_bytes(CERT_A))}, {"has_private_key", true},
                                 {"module", known[0]}, {"thumbprint", PRINT_A}, {"token_label", "First"},
                                 {"token_serial", "S1"}}});
  if (known.size() > 2)
    certs.push_back(Json{{"der_b64", base64_encode(hex_bytes(CERT_B))}, {"has_private_key", false},
                         {"module", known[2]}, {"thumbprint", PRINT_B}, {"token_label", "Third"},
                         {"token_serial", "S3"}});
  // On Linux the system's proxy module may add certificates of its own after ours.
  Json answer = Json::parse(listed.out);
  answer["certs"].erase(answer["certs"].begin() + static_cast<long>(certs.size()), answer["certs"].end());
  EXPECT_EQ(answer, (Json{{"certs", certs}, {"ok", true}}));
  EXPECT_EQ(listed.status, 0);
  EXPECT_EQ(listed.out.back(), '\n');
  EXPECT_EQ(listed.out.find('\r'), std::string::npos);

  // A named module is used alone; one that cannot be loaded gives an empty list.
  install_file(fake_module_path("fake_dependency"), known[1]);
  const std::string empty = line(Json{{"certs", Json::array()}, {"ok", true}});
  // A path with a NUL would load the file named by the part before it.
  const std::string with_nul = known[0] + std::string(1, '\0') + "/other";
  for (const std::string& module : {missing, executable_folder(), known[1], agent_path(), with_nul}) {
    RunResult one = run_agent(json{{"cmd", "list_certs"}, {"module", module}}.dump());
    EXPECT_EQ(one.out, empty) << module;
    EXPECT_EQ(one.status, 0) << module;
  }
  EXPECT_EQ(run_agent(json{{"cmd", "enumerate"}, {"module", with_nul}}.dump()).out,
            failure_line("load " + with_nul + ": libloading error (" + platform::LOADER_CALL_NAME + " failed)"));
  RunResult named = run_agent(json{{"cmd", "list_certs"}, {"module", known[0]}}.dump());
  EXPECT_EQ(Json::parse(named.out)["certs"].size(), 1u);
}

TEST_F(OneShotTest, EnumerateReportsSlotsTokensAndCertificates) {
  REQUIRE_TEST_BED_MODULES(1);
  json hidden = certificate(CERT_B);
  hidden["value_error"] = CKR_ATTRIBUTE_SENSITIVE;
  json unreadable_info = token("Lost", "X", {certificate(CERT_B)});
  json s = {{"slots", json::array({slot(4, token("Card \xc3\xa9", "0042", {certificate(CERT_A), hidden, private_key()})),
                                   empty_slot(5), slot(6, unreadable_info)})},
            {"fail", json::array({failure("C_GetTokenInfo", CKR_DEVICE_ERROR, 2)})}};
  install_known_module(known[0], s);
  RunResult result = run_agent(json{{"cmd", "enumerate"}, {"module", known[0]}}.dump());
  std::string report = "module=" + known[0] + " slots_with_token=2\n" +
                       "  token: label='Card \xc3\xa9' serial='0042'\n"
                       "  certificates: 2\n"
                       "    cert SHA1=" + PRINT_A + " der_len=" + std::to_string(CERT_A.size() / 2) + "\n"
                       "  certificates: 1\n"
                       "    cert SHA1=" + PRINT_B + " der_len=" + std::to_string(CERT_B.size() / 2) + "\n";
  EXPECT_EQ(result.out, line(Json{{"ok", true}, {"text", report}}));
  EXPECT_EQ(result.status, 0);

  install_known_module(known[0], {{"slots", json::array({empty_slot(1)})}});
  EXPECT_EQ(run_agent(json{{"cmd", "enumerate"}, {"module", known[0]}}.dump()).out,
            line(Json{{"ok", true}, {"text", "module=" + known[0] + " slots_with_token=0\n"}}));
}

TEST_F(OneShotTest, EnumerateEndsAtTheFirstFailureWithItsPrefix) {
  REQUIRE_TEST_BED_MODULES(1);
  const std::string device = "PKCS11 error: " + describe_rv(CKR_DEVICE_ERROR);
  struct Case {
    std::string function;
    long call;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"C_Initialize", 0, "C_Initialize: Function::Initialize: " + device},
      {"C_GetSlotList", 0, "get_slots_with_token: Function::GetSlotList: " + device},
      {"C_OpenSession", 0, "open_ro_session: Function::OpenSession: " + device},
      {"C_FindObjectsInit", 0, "find certs: Function::FindObjectsInit: " + device},
      {"C_FindObjectsFinal", 0, "find certs: Function::FindObjectsFinal: " + device},
      {"C_GetAttributeValue", 2, "get cert value: Function::GetAttributeValue: " + device},
  };
  for (const auto& c : cases) {
    json s = one_slot({certificate(CERT_A), certificate(CERT_B)});
    s["fail"] = json::array({failure(c.function, CKR_DEVICE_ERROR, c.call)});
    install_known_module(known[0], s);
    RunResult result = run_agent(json{{"cmd", "enumerate"}, {"module", known[0]}}.dump());
    EXPECT_EQ(result.out, failure_line(c.error)) << c.function;
    EXPECT_EQ(result.status, 1);
  }
  RunResult absent = run_agent(json{{"cmd", "enumerate"}, {"module", missing}}.dump());
  EXPECT_EQ(absent.out, failure_line("load " + missing + ": libloading error (" + platform::LOADER_CALL_NAME + " failed)"));
  EXPECT_EQ(absent.status, 1);
  // Without a module, the last known module is the one enumerated.
  const std::string fallback_module = default_enumerate_module();
  RunResult fallback = run_agent(R"({"cmd":"enumerate","module":""})");
  if (platform::file_exists(fallback_module)) {
    // Loaded: whatever its tokens say, the answer is not a load failure.
    EXPECT_EQ(fallback.out.find("\"error\":\"load "), std::string::npos) << fallback.out;
  } else {
    EXPECT_EQ(fallback.out, failure_line("load " + fallback_module + ": libloading error (" +
                                         platform::LOADER_CALL_NAME + " failed)"));
  }
}

TEST_F(OneShotTest, FindCertSearchesTheKnownModulesInOrder) {
  REQUIRE_TEST_BED_MODULES(2);
  json serial_spaces = token("L", "", {certificate(CERT_B)});
  serial_spaces["serial_hex"] = "c2a0393920";  // no-break space, "99", space
  json odd = certificate("0101");              // does not start as a certificate
  install_known_module(known[0], {{"slots", json::array({slot(2, token("L", "S0", {odd})), slot(9, serial_spaces)})}});
  install_known_module(known[1], {{"slots", json::array({slot(1, token("L", "S1", {certificate(CERT_B), certificate(CERT_A)}))})},
                                  {"fail", json::array({failure("C_GetTokenInfo", CKR_DEVICE_ERROR)})}});
  struct Case {
    std::string thumbprint;
    std::string answer;
  };
  const std::vector<Case> cases = {
      {upper(PRINT_B), line(Json{{"cert_serial", "0b0b"}, {"module", known[0]}, {"ok", true}, {"slot", 9}, {"token_serial", "99"}})},
      {PRINT_A, line(Json{{"cert_serial", "008f3a"}, {"module", known[1]}, {"ok", true}, {"slot", 1}, {"token_serial", ""}})},
      {thumbprint_of(hex_bytes("0101")).value(), line(Json{{"cert_serial", ""}, {"module", known[0]}, {"ok", true}, {"slot", 2}, {"token_serial", "S0"}})},
      {PRINT_A.substr(0, 2) + ":" + PRINT_A.substr(2), failure_line("certificate not found on any connected token")},
      {" " + PRINT_A, failure_line("certificate not found on any connected token")},
  };
  for (const auto& c : cases) {
    RunResult result = run_agent(json{{"cmd", "find_cert"}, {"thumbprint", c.thumbprint}, {"module", missing}}.dump());
    EXPECT_EQ(result.out, c.answer) << c.thumbprint;
    EXPECT_EQ(result.status, c.answer.find("\"ok\":true") != std::string::npos ? 0 : 1);
  }
  // The token information of the match (on the second slot) is read before the search's
  // session is closed.
  fake_folder().clear_log(file_name_of(known[0]));
  run_agent(json{{"cmd", "find_cert"}, {"thumbprint", PRINT_B}}.dump());
  auto order = calls_named(fake_folder().call_log(file_name_of(known[0])), {"C_GetTokenInfo", "C_CloseSession"});
  EXPECT_EQ(order, (std::vector<std::string>{"C_CloseSession", "C_GetTokenInfo", "C_CloseSession"}));
}

TEST_F(OneShotTest, SignChecksTheRequestBeforeAnyToken) {
  struct Case {
    json request;
    std::string error;
  };
  const std::vector<Case> cases = {
      {{{"cmd", "sign"}, {"thumbprint", "ab"}, {"hash_hex", "zz"}, {"pin", ""}}, "sign requires thumbprint, hash_hex and pin"},
      {{{"cmd", "sign"}, {"hash_hex", "00"}, {"pin", "1"}}, "sign requires thumbprint, hash_hex and pin"},
      {{{"cmd", "sign"}, {"thumbprint", "ab"}, {"hash_hex", "abc"}, {"pin", "1"}}, "hash_hex must be valid hex: Odd number of digits"},
      {{{"cmd", "sign"}, {"thumbprint", "ab"}, {"hash_hex", "zz"}, {"pin", "1"}},
       "hash_hex must be valid hex: Invalid character 'z' at position 0"},
      {{{"cmd", "sign"}, {"thumbprint", "ab"}, {"hash_hex", std::string(1 << 20, 'f') + "g"}, {"pin", "1"}},
       "hash_hex must be valid hex: Odd number of digits"},
      {{{"cmd", "sign"}, {"thumbprint", "ab"}, {"hash_hex", std::string(1 << 20, 'f') + "-f"}, {"pin", "1"}},
       "hash_hex must be valid hex: Invalid character '-' at position 1048576"},
  };
  for (const auto& c : cases) {
    RunResult result = run_agent(c.request.dump());
    EXPECT_EQ(result.out, failure_line(c.error));
    EXPECT_EQ(result.status, 1);
  }
}

TEST_F(OneShotTest, SignFindsTheModuleOrUsesTheOneGiven) {
  REQUIRE_TEST_BED_MODULES(2);
  const json signer = one_slot({certificate(CERT_A, "01"), private_key("01", CKK_EC)});
  install_known_module(known[1], signer);
  const std::string hash = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
  auto request = [&](const std::string& pin, const json& module) {
    json r = {{"cmd", "sign"}, {"thumbprint", upper(PRINT_A)}, {"hash_hex", " " + hash + " "}, {"pin", pin}};
    if (!module.is_null()) r["module"] = module;
    return r.dump();
  };
  RunResult found = run_agent(request("1234", nullptr));
  Json answer = Json::parse(found.out);
  EXPECT_EQ(found.status, 0) << found.out;
  EXPECT_EQ(answer["module"], known[1]);
  EXPECT_EQ(answer["cert_der_b64"], base64_encode(hex_bytes(CERT_A)));
  EXPECT_EQ(answer["signature_hex"].get<std::string>().substr(0, hash.size()), hash);
  EXPECT_EQ(found.out, line(answer));

  // The key search's session and the signing session are both closed before C_Finalize.
  auto calls = calls_named(fake_folder().call_log(file_name_of(known[1])), {"C_OpenSession", "C_CloseSession", "C_Finalize", "C_Logout"});
  EXPECT_EQ(calls, (std::vector<std::string>{"C_OpenSession", "C_CloseSession", "C_Finalize", "C_OpenSession",
                                             "C_CloseSession", "C_Finalize"}));

  EXPECT_EQ(run_agent(request("0000", nullptr)).out, failure_line("WRONG_PIN:-1"));
  // With a module named, nothing is searched: the module's own answer stands.
  EXPECT_EQ(run_agent(request("1234", known[0])).out.rfind("{\"error\":\"load ", 0), 0u);
  install_known_module(known[0], one_slot({certificate(CERT_B, "01"), private_key("01")}));
  EXPECT_EQ(run_agent(request("1234", known[0])).out, failure_line("no cert matched the requested thumbprint"));
  uninstall_known_modules();
  EXPECT_EQ(run_agent(request("1234", nullptr)).out, failure_line("certificate not found on any connected token"));
}

#ifdef _WIN32
// The vendor module that needs its install folder on the DLL search path.
class DirectoryRuleTest : public OneShotTest {
 protected:
  const std::string signature_module = "C:\\Windows\\System32\\SignatureP11.dll";
  void SetUp() override {
    OneShotTest::SetUp();
    install_file(fake_module_path("fake_pkcs11_dependent"), signature_module);
    install_file(fake_module_path("watchdata\\watchdata_runtime"),
                 "C:\\Windows\\System32\\Watchdata\\PROXKey CSP India V3.0\\watchdata_runtime.dll");
    fake_folder().write_scenario("SignatureP11.dll", one_slot({certificate(CERT_A)}, "Watchdata", "W1"));
  }
};

TEST_F(DirectoryRuleTest, LoadsTheDependentModuleOnlyThroughTheRule) {
  struct Case {
    std::string module;
    bool loads;
  };
  const std::vector<Case> cases = {
      {"", true},  // the default enumerate module
      {"c:\\windows\\system32\\signaturep11.dll", true},
      {"C:/Windows/System32/SignatureP11.dll", false},
  };
  for (const auto& c : cases) {
    RunResult result = run_agent(json{{"cmd", "enumerate"}, {"module", c.module}}.dump());
    std::string shown = c.module.empty() ? signature_module : c.module;
    if (c.loads) {
      EXPECT_EQ(result.out, line(Json{{"ok", true},
                                      {"text", "module=" + shown + " slots_with_token=1\n  token: label='Watchdata' serial='W1'\n"
                                               "  certificates: 1\n    cert SHA1=" + PRINT_A + " der_len=" +
                                                   std::to_string(CERT_A.size() / 2) + "\n"}}))
          << c.module;
    } else {
      EXPECT_EQ(result.out, failure_line("load " + shown + ": libloading error (LoadLibraryExW failed)")) << c.module;
    }
  }
  // find_cert loads the known modules without the rule, so this one is not reached...
  EXPECT_EQ(run_agent(json{{"cmd", "find_cert"}, {"thumbprint", PRINT_A}}.dump()).out,
            failure_line("certificate not found on any connected token"));
  // ...while list_certs is.
  EXPECT_EQ(Json::parse(run_agent(R"({"cmd":"list_certs"})").out)["certs"].size(), 1u);
}

TEST_F(OneShotTest, TokenTextsSurviveTheWindowsStructureLayout) {
  REQUIRE_TEST_BED_MODULES(1);
  // With CK_ULONG or the packing wrong, the label would be read at the wrong offset.
  json t = token("ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", "0123456789abcdef", {});
  install_known_module(known[0], {{"slots", json::array({slot(1, t)})}});
  EXPECT_EQ(run_agent(json{{"cmd", "enumerate"}, {"module", known[0]}}.dump()).out,
            line(Json{{"ok", true},
                      {"text", "module=" + known[0] +
                                   " slots_with_token=1\n  token: label='ABCDEFGHIJKLMNOPQRSTUVWXYZ012345' "
                                   "serial='0123456789abcdef'\n  certificates: 0\n"}}));
  EXPECT_EQ(sizeof(CK_ULONG), 4u);
  EXPECT_EQ(sizeof(CK_ATTRIBUTE), 16u);  // 4 + 8 + 4, packed
}
#endif

#ifndef _WIN32
// An OpenSSL configuration that activates only the null provider, and no libnettle: no
// digest can be made.
TEST_F(OneShotTest, ADigestThatCannotBeComputedFailsTheRequest) {
  REQUIRE_TEST_BED_MODULES(1);
  install_known_module(known[0], one_slot({certificate(CERT_A, "01"), private_key("01")}));
  const std::string config = fake_module_path("null-provider") + ".cnf";
  std::ofstream(config) << "openssl_conf = init\n[init]\nproviders = providers\n[providers]\nnull = null\n"
                           "[null]\nactivate = 1\n";
  set_environment("OPENSSL_CONF", config);
  // And no libnettle: a library of that name that holds none of its functions comes first.
  const std::string no_nettle = fake_module_path("null-provider") + ".lib";
  install_file(fake_module_path("fake_dependency"), no_nettle + "/libnettle.so.8");
  set_environment("LD_LIBRARY_PATH", no_nettle);
  const std::string thumbprints = "cannot compute certificate thumbprints: the system's SHA-1 routine failed";
  const std::string pin = "cannot compute the PIN's digest: the system's SHA-256 routine failed";
  const json sign = {{"cmd", "sign"}, {"thumbprint", PRINT_A}, {"hash_hex", "00"}, {"pin", "1234"}};
  fake_folder().clear_log(file_name_of(known[0]));
  json named = sign;
  named["module"] = known[0];
  for (const json& request : {json{{"cmd", "list_certs"}}, json{{"cmd", "list_certs"}, {"module", known[0]}},
                              json{{"cmd", "find_cert"}, {"thumbprint", PRINT_A}}, sign, named})
    EXPECT_EQ(run_agent(request.dump()).out, failure_line(thumbprints)) << request.dump();
  // The module a listing or a signature names is loaded while the digests are made ready,
  // and not called once they fail.
  EXPECT_EQ(calls_named(fake_folder().call_log(file_name_of(known[0])), {"C_Initialize", "C_Login", "C_Sign"}),
            std::vector<std::string>{});
  const json validate = {{"cmd", "validate"}, {"thumbprint", PRINT_A}, {"pin", "1234"}};
  RunResult served = run_agent(json{{"cmd", "list_certs"}}.dump() + "\n" + json{{"cmd", "find_cert"}, {"thumbprint", PRINT_A}}.dump() +
                                   "\n" + validate.dump() + "\n" + sign.dump() + "\n",
                               {"serve"});
  EXPECT_EQ(served.out, failure_line(thumbprints) + failure_line(thumbprints) + failure_line(pin) + failure_line(pin));
  unsetenv("OPENSSL_CONF");
  unsetenv("LD_LIBRARY_PATH");
  remove_file(config);
  remove_file(no_nettle + "/libnettle.so.8");
}
#endif

#ifndef _WIN32
// Without its module host (the agent copied alone into a folder) no module can be used: an
// installation fault, named wherever it is the cause in one-shot mode and in serve, where
// one-shot list_certs still succeeds empty. Where the agent's own path cannot be read, no
// host is started at all, least of all a program of the working folder by that name.
TEST_F(OneShotTest, AMissingHostIsNamedWhereverItIsTheCause) {
  REQUIRE_TEST_BED_MODULES(1);
  namespace fs = std::filesystem;
  install_known_module(known[0], one_slot({certificate(CERT_A, "01"), private_key("01", CKK_EC)}));
  const std::string alone = executable_folder() + "/agent-alone";
  fs::remove_all(alone);
  fs::create_directories(alone);
  const std::string agent = alone + "/p11agent";
  fs::copy_file(agent_path(), agent);
  const std::string missing = failure_line("p11agent's module host (p11agent-host, beside p11agent) is missing: reinstall p11agent");
  const json find = {{"cmd", "find_cert"}, {"thumbprint", PRINT_A}};
  const json sign = {{"cmd", "sign"}, {"thumbprint", PRINT_A}, {"hash_hex", "00"}, {"pin", "1234"}};
  const json validate = {{"cmd", "validate"}, {"thumbprint", PRINT_A}, {"pin", "1234"}};
  json named = sign;
  named["module"] = known[0];
  for (const json& request : {find, sign, named}) EXPECT_EQ(run_program(agent, {}, request.dump()).out, missing) << request;
  EXPECT_EQ(run_program(agent, {}, R"({"cmd":"list_certs"})").out, line(Json{{"certs", Json::array()}, {"ok", true}}));
  const RunResult served = run_program(
      agent, {"serve"}, "{\"cmd\":\"ping\"}\n{\"cmd\":\"list_certs\"}\n" + find.dump() + "\n" + validate.dump() + "\n" + sign.dump() + "\n");
  EXPECT_EQ(served.out, line(Json{{"modules", 0}, {"ok", true}}) + missing + missing + missing + missing);
  // A host beside it that cannot be run is no host either.
  fs::copy_file(host_path(), alone + "/p11agent-host");
  fs::permissions(alone + "/p11agent-host", fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(run_program(agent, {}, find.dump()).out, missing);
  fs::remove(alone + "/p11agent-host");
#ifndef __SANITIZE_ADDRESS__  // the sanitizers read /proc themselves
  if (::geteuid() != 0) return;  // /proc is hidden in a mount namespace, which needs root
  const std::string planted = alone + "/p11agent-host", started = alone + "/started";
  std::ofstream(planted) << "#!/bin/sh\ntouch " << started << "\n";
  fs::permissions(planted, fs::perms::owner_all);
  const RunResult hidden = run_program("/usr/bin/unshare", {"-m", "sh", "-c", "mount -t tmpfs none /proc && cd " + alone +
                                                                            " && exec " + agent_path()},
                                       find.dump());
  EXPECT_EQ(hidden.out, missing);
  EXPECT_FALSE(fs::exists(started));
#endif
  fs::remove_all(alone);
}
#endif

// --doctor on the test bed: every known module there and loading (on Linux, before and
// after the host is registered, in a home of the test's own), then one of them a 32-bit
// build, which enumerate names as such too.
TEST_F(OneShotTest, TheDoctorNamesA32BitModuleAndSaysHowToRegister) {
  REQUIRE_TEST_BED_MODULES(2);
  for (const std::string& path : known)
    if (path.find("p11-kit-proxy") == std::string::npos) install_known_module(path, one_slot({certificate(CERT_A)}, "Card"));
  auto doctor = [] {
    RunResult run = run_agent("", {"--doctor", "--json"});
    return std::pair{run.status, json::parse(run.out, nullptr, false)};
  };
  auto find = [](const json& report, const std::string& name) {
    for (const json& check : report["checks"])
      if (check["check"] == name) return check;
    return json();
  };
  auto [status, report] = doctor();
  EXPECT_EQ(find(report, "module " + known[0])["detail"], "loads; 1 token: 'Card' (1 certificate)");
  // A module that crashes as it starts costs its own check alone: the doctor loads each in
  // a host of its own.
  install_known_module(known[1], {{"crash", {"C_Initialize"}}});
  std::tie(status, report) = doctor();
  EXPECT_EQ(find(report, "module " + known[0])["detail"], "loads; 1 token: 'Card' (1 certificate)");
  EXPECT_EQ(find(report, "module " + known[1])["status"], "fail") << report.dump();
  // One that fails to list its slots is said to, not taken for a missing token.
  install_known_module(known[1], {{"fail", {{{"function", "C_GetSlotList"}, {"rv", CKR_DEVICE_ERROR}}}}});
  std::tie(status, report) = doctor();
  EXPECT_EQ(find(report, "module " + known[1])["detail"],
            "loads, but Function::GetSlotList: PKCS11 error: " + describe_rv(CKR_DEVICE_ERROR));
  install_known_module(known[1], one_slot({certificate(CERT_A)}, "Card"));
#ifndef _WIN32
  const std::string home = std::filesystem::temp_directory_path().string() + "/p11agent-doctor-home";
  std::filesystem::remove_all(home);
  std::filesystem::create_directories(home);
  set_environment("HOME", home);
  std::tie(status, report) = doctor();
  EXPECT_EQ(status, 1);
  EXPECT_EQ(find(report, "browser registration")["detail"],
            "p11agent is not registered for any browser: run p11agent --register-host --chrome-extension <id> "
            "--firefox-extension <id> (with --system for every user)");
  // Registered for Chrome alone, in the user's home: no Firefox manifest allowing nothing to
  // warn about, and the user's own program passes the per-user rule.
  ASSERT_EQ(run_agent("", {"--register-host", "--chrome-extension", "abcdefghijklmnopabcdefghijklmnop"}).status, 0);
  std::tie(status, report) = doctor();
  EXPECT_EQ(status, 0) << report.dump();
  for (const json& check : report["checks"])
    if (check["check"].get<std::string>().starts_with("browser registration")) {
      EXPECT_EQ(check["status"], "ok") << check.dump();
    }
  // The per-user rule, as a user who is not root: that user's own copy of the agent,
  // registered in their home, passes for them.
  if (::geteuid() == 0) {
    const std::string own_copy = home + "/bin/p11agent";
    std::filesystem::create_directories(home + "/bin");
    std::filesystem::copy_file(agent_path(), own_copy);
    ASSERT_EQ(::chown(home.c_str(), 65534, 65534), 0);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(home))
      ASSERT_EQ(::lchown(entry.path().c_str(), 65534, 65534), 0);
    auto as_nobody = [&](const std::vector<std::string>& args) {
      std::vector<std::string> command = {"--reuid=65534", "--regid=65534", "--clear-groups", own_copy};
      command.insert(command.end(), args.begin(), args.end());
      return run_program("/usr/bin/setpriv", command, "");
    };
    ASSERT_EQ(as_nobody({"--register-host", "--chrome-extension", "abcdefghijklmnopabcdefghijklmnop"}).status, 0);
    const json theirs = json::parse(as_nobody({"--doctor", "--json"}).out, nullptr, false);
    const std::string place = platform::host_places(false, "p11agent", "")->front().manifest;
    EXPECT_EQ(find(theirs, "browser registration " + place)["status"], "ok") << theirs.dump();
    ASSERT_EQ(as_nobody({"--unregister-host"}).status, 0);
    std::filesystem::remove_all(home + "/bin");
    ASSERT_EQ(run_agent("", {"--register-host", "--chrome-extension", "abcdefghijklmnopabcdefghijklmnop"}).status, 0);
  }
  // A FIFO where a manifest goes is none, and the doctor answers rather than wait for a
  // writer that never comes.
  const std::string manifest = platform::host_places(false, "p11agent", "")->front().manifest;
  std::filesystem::remove(manifest);
  ASSERT_EQ(::mkfifo(manifest.c_str(), 0600), 0);
  ChildProcess waiting(agent_path(), {"--doctor", "--json"});
  waiting.close_stdin();
  const std::optional<std::string> line = waiting.read_line();
  ASSERT_TRUE(line) << "the doctor waits on the FIFO";
  EXPECT_TRUE(find(json::parse(*line), "browser registration " + manifest)["detail"].get<std::string>().starts_with(
      "is not a host manifest p11agent wrote"))
      << *line;
  EXPECT_EQ(waiting.wait(), 1);
  // ELF32 for i386.
  std::string build_32(64, '\0');
  build_32.replace(0, 4, "\x7F" "ELF");
  build_32[4] = 1, build_32[5] = 1, build_32[18] = 3;
#else
  // PE for 32-bit ARM (an i386 one goes to the 32-bit host): "MZ", the header's offset at
  // 0x3C, "PE\0\0", machine 0x1C4.
  std::string build_32(0x48, '\0');
  build_32[0] = 'M', build_32[1] = 'Z', build_32[0x3C] = 0x40;
  build_32.replace(0x40, 4, std::string("PE\0\0", 4));
  build_32[0x44] = static_cast<char>(0xC4), build_32[0x45] = 0x01;
#endif
  remove_file(known[1]);
  std::ofstream(known[1], std::ios::binary) << build_32;
  std::tie(status, report) = doctor();
  EXPECT_EQ(status, 1);
  const std::string words = "32-bit; p11agent is 64-bit: install the vendor's 64-bit module";
  EXPECT_EQ(find(report, "module " + known[1]),
            (json{{"check", "module " + known[1]}, {"detail", words + " (not loaded)"}, {"status", "fail"}}));
  const std::string enumerated = run_agent(json{{"cmd", "enumerate"}, {"module", known[1]}}.dump()).out;
  EXPECT_NE(enumerated.find("(" + words + ")"), std::string::npos) << enumerated;
  remove_file(known[1]);
#ifndef _WIN32
  std::filesystem::remove_all(home);
#endif
}


}  // namespace
}  // namespace p11agent
