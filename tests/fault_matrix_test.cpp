// Every entry point the agent uses, made to fail in every way a module can fail, under
// every command of both modes: one well-formed answer with a known text, every session
// closed before the module is finalised, and a daemon that keeps serving.
#include <gtest/gtest.h>

#include <thread>

#include "daemon/serve.h"
#include "daemon/slot_watch.h"
#include "oneshot/commands.h"
#include "support/agent.h"
#include "support/threads.h"
#include "token/certificate.h"
#include "token/messages.h"
#include "token/module_host.h"
#include "token/slot.h"
#include "wire/response.h"

namespace p11agent {
namespace {

using namespace testing_support;

const std::string CERT = der_with_serial("0c0d");
const std::string PRINT = thumbprint_of(hex_bytes(CERT)).value();

const std::vector<std::string> ENTRY_POINTS = {
    "C_Initialize", "C_GetSlotList",       "C_GetTokenInfo",      "C_OpenSession", "C_CloseSession",
    "C_Login",      "C_Logout",            "C_FindObjectsInit",   "C_FindObjects", "C_FindObjectsFinal",
    "C_GetAttributeValue", "C_SignInit",   "C_Sign",              "C_Finalize",
};

struct Fault {
  std::string name;
  json rule;  // what goes into the scenario
};

std::vector<Fault> faults_of(const std::string& entry) {
  std::vector<Fault> faults;
  for (auto [name, rv] : std::vector<std::pair<std::string, unsigned long>>{{"general error", CKR_GENERAL_ERROR},
                                                                           {"device removed", CKR_DEVICE_REMOVED},
                                                                           {"session handle invalid", CKR_SESSION_HANDLE_INVALID},
                                                                           {"token not present", CKR_TOKEN_NOT_PRESENT},
                                                                           {"vendor value", 0x80000123UL}})
    faults.push_back({name, {{"fail", json::array({failure(entry, rv)})}}});
  faults.push_back({"NULL entry", {{"null", json::array({entry})}}});
  faults.push_back({"slow", {{"delay_ms", {{entry, 3}}}}});
  return faults;
}

std::string error_of(const CommandResult& answer) { return answer ? std::string() : answer.error(); }

// The texts an answer may carry: the steps' prefixes and the whole messages.
bool is_known_error(const std::string& text) {
  for (const char* prefix : {"load ", "C_Initialize: ", "get_slots_with_token: ", "open_ro_session: ", "open_rw_session: ",
                             "find certs: ", "get cert value: ", "get cert attrs: ", "C_Login: ", "WRONG_PIN:",
                             "find key: ", "get key type: ", "C_Sign: "})
    if (text.rfind(prefix, 0) == 0) return true;
  for (const char* whole : {"no token in any slot", "no cert matched the requested thumbprint", "no private key for cert",
                            "certificate not found on any connected token", "cert has no CKA_ID"})
    if (text == whole) return true;
  return false;
}

// The PKCS#11 part of a message names the entry point that failed, or the NULL entry.
// A module whose C_Finalize failed stays initialised while it stays loaded (as it does in
// this one test process), so its next C_Initialize is refused.
bool names_the_failure(const std::string& text, const std::string& entry) {
  std::string named = entry == "C_Finalize" ? "Initialize" : entry.substr(2);
  return text.find("Function::" + named + ": PKCS11 error: ") != std::string::npos ||
         text.find("Calling a NULL function pointer") != std::string::npos;
}

class FaultMatrixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_TEST_BED_MODULES(1);
    uninstall_known_modules();
    module = test_known_modules().front();
    name = file_name_of(module);
  }
  void TearDown() override { uninstall_known_modules(); }
  std::string module;
  std::string name;

  json scenario(const json& fault) const {
    // The key asks for the PIN for every signature, so that faults reach that login too.
    json key = private_key("01", CKK_EC);
    key["always_authenticate"] = true;
    json s = {{"slots", json::array({slot(1, token("T", "S", {certificate(CERT, "01"), key}))})}};
    s.update(fault);
    return s;
  }
  // Every opened session closed, then the module finalised; without a C_CloseSession or
  // C_Finalize entry that call cannot be seen, and only the other is checked.
  void expect_sessions_closed(const std::string& what, const std::string& null_entry) {
    auto log = fake_folder().call_log(name);
    if (null_entry != "C_CloseSession") {
      EXPECT_EQ(count_succeeded_calls(log, "C_OpenSession"), count_calls(log, "C_CloseSession")) << what;
    }
    auto order = calls_named(log, {"C_CloseSession", "C_Finalize"});
    if (null_entry != "C_Finalize" && !order.empty()) {
      EXPECT_EQ(order.back(), "C_Finalize") << what;
    }
  }
};

TEST_F(FaultMatrixTest, EveryCommandSurvivesEveryFaultOfEveryEntryPoint) {
  const Request sign_request{"sign", module, PRINT, "0102", "1234"};
  const std::vector<std::pair<std::string, CommandResult (*)(const Request&)>> one_shot = {
      {"enumerate", run_enumerate}, {"list_certs", run_list_certs}, {"find_cert", run_find_cert}, {"sign", run_sign}};
  const std::vector<std::string> daemon_requests = {
      R"({"cmd":"validate","thumbprint":")" + PRINT + R"(","pin":"1234"})",
      R"({"cmd":"sign","thumbprint":")" + PRINT + R"(","pin":"1234","hash_hex":"0102"})",
      R"({"cmd":"sign","thumbprint":")" + PRINT + R"(","pin":"1234","hash_hex":"0102"})",
      R"({"cmd":"list_certs"})",
      R"({"cmd":"find_cert","thumbprint":")" + PRINT + R"("})",
      R"({"cmd":"logout"})",
  };
  for (const std::string& entry : ENTRY_POINTS) {
    for (const Fault& fault : faults_of(entry)) {
      const std::string what = entry + ", " + fault.name;
      const std::string null_entry = fault.name == "NULL entry" ? entry : "";
      install_known_module(module, scenario(fault.rule));
      for (const auto& [command, run] : one_shot) {
        fake_folder().clear_log(name);
        CommandResult answer = run(sign_request);
        if (!answer) {
          EXPECT_TRUE(is_known_error(answer.error())) << what << ", " << command << ": " << answer.error();
          if (answer.error().find("Function::") != std::string::npos || answer.error().find("NULL") != std::string::npos) {
            EXPECT_TRUE(names_the_failure(answer.error(), entry)) << what << ", " << command << ": " << answer.error();
          }
        }
        expect_sessions_closed(what + ", " + command, null_entry);
      }
      fake_folder().clear_log(name);
      {
        DaemonState state;
        if (auto opened = open_module(module)) state.module_table[module] = *opened;
        state.candidate_paths = {module};
        for (const std::string& request : daemon_requests) {
          std::string answer = handle_daemon_request(state, request);
          Json parsed = Json::parse(answer);
          ASSERT_EQ(answer.find('\n'), std::string::npos);
          if (!parsed["ok"].get<bool>()) {
            EXPECT_TRUE(is_known_error(parsed["error"])) << what << ", " << request << ": " << answer;
          }
        }
        EXPECT_EQ(handle_daemon_request(state, R"({"cmd":"ping"})").rfind(R"({"modules":)", 0), 0u) << what;
      }
      expect_sessions_closed(what + ", serve", null_entry);
    }
  }
}

// Searches and reads that a module would never let end: every command still ends, with the
// text of the step that was cut short, or without the module where a failing module is
// left out of the answer.
TEST_F(FaultMatrixTest, ModuleAnswersThatNeverSettleEndEveryCommand) {
  json large = certificate(CERT, "01");
  large["value_length"] = 1 << 20;
  const std::string rounds = Pkcs11Error::bound_exceeded("FindObjects").text();
  const std::string bytes = Pkcs11Error::bound_exceeded("GetAttributeValue").text();
  struct Case {
    std::string name;
    json rule;
    json cert;
    std::string enumerate, sign;
  };
  const std::vector<Case> cases = {
      {"handles claimed and never written", {{"find_phantom", true}}, certificate(CERT, "01"), "find certs: " + rounds,
       "find certs: " + rounds},
      {"the same handle forever", {{"find_repeat", 1000000000}}, certificate(CERT, "01"), "find certs: " + rounds,
       "find certs: " + rounds},
      {"the same large object again and again", {{"find_repeat", 40}}, large, "get cert value: " + bytes,
       "get cert attrs: " + bytes},
  };
  const Request sign_request{"sign", module, PRINT, "0102", "1234"};
  for (const Case& c : cases) {
    json s = {{"slots", json::array({slot(1, token("T", "S", {c.cert, private_key("01", CKK_EC)}))})}, {"quiet", true}};
    s.update(c.rule);
    install_known_module(module, s);
    EXPECT_EQ(error_of(run_enumerate(sign_request)), c.enumerate) << c.name;
    EXPECT_EQ(error_of(run_sign(sign_request)), c.sign) << c.name;
    EXPECT_EQ(run_list_certs(sign_request).value_or(""), R"({"certs":[],"ok":true})") << c.name;
    DaemonState state;
    if (auto opened = open_module(module)) state.module_table[module] = *opened;
    state.candidate_paths = {module};
    Json listed = Json::parse(handle_daemon_request(state, R"({"cmd":"list_certs"})"));
    EXPECT_TRUE(listed["ok"].get<bool>() && listed["certs"].size() < 40u) << c.name;
    for (const char* request : {R"({"cmd":"find_cert","thumbprint":")", R"({"cmd":"validate","pin":"1234","thumbprint":")"})
      EXPECT_EQ(handle_daemon_request(state, request + PRINT + R"("})"), error_response_text(CERT_NOT_FOUND)) << c.name;
  }
}

// Modules in hosts of their own, with a short call bound, for as long as a test runs. A
// load's bound counts the host's start, which under Wine on a busy machine alone has taken
// two seconds: a healthy module must never reach it.
class HostedModules {
 public:
  HostedModules() {
    ModuleHosting hosting{host_path(), std::chrono::seconds(1), std::chrono::seconds(4)};
#ifdef _WIN32
    hosting.executable_32 = executable_folder() + "\\p11agent-host32.exe";
#endif
    use_module_hosts(hosting);
  }
  ~HostedModules() { use_module_hosts(std::nullopt); }
};

// A module that crashes or hangs in any call the agent makes costs its own answers only,
// bounded in time: the agent goes on, the other module answers, and once the module
// behaves again it answers on the next request.
TEST_F(FaultMatrixTest, AModuleThatCrashesOrHangsCostsOnlyItsOwnAnswers) {
  REQUIRE_TEST_BED_MODULES(2);
  HostedModules hosted;
  const std::string other = test_known_modules()[1];
  const std::string other_print = thumbprint_of(hex_bytes(der_with_serial("0e0f"))).value();
  install_known_module(other, {{"slots", json::array({slot(1, token("U", "V", {certificate(der_with_serial("0e0f"), "02"),
                                                                                  private_key("02", CKK_EC)}))})}});
  const Request sign_request{"sign", module, PRINT, "0102", "1234"};
  const std::string validate = R"({"cmd":"validate","thumbprint":")" + PRINT + R"(","pin":"1234"})";
  const std::string sign = R"({"cmd":"sign","thumbprint":")" + PRINT + R"(","pin":"1234","hash_hex":"0102"})";
  const std::string list = R"({"cmd":"list_certs"})";
  auto failed = [](const std::string& answer) { return Json::parse(answer)["ok"] == true ? std::string() : answer; };
  for (const std::string& entry : ENTRY_POINTS) {
    for (const char* fault : {"crash", "hang"}) {
      const std::string what = entry + ", " + fault;
      install_known_module(module, scenario({{fault, json::array({entry})}}));
      EXPECT_NE(run_list_certs(Request{"list_certs", {}, {}, {}, {}}).value_or("").find(other_print), std::string::npos) << what;
      if (CommandResult answer = run_sign(sign_request); !answer) {
        EXPECT_TRUE(is_known_error(answer.error())) << what << ": " << answer.error();
      }
      DaemonState state;
      state.candidate_paths = {module, other};
      state.module_table = state.loader.load(state.candidate_paths, std::chrono::seconds(8));
      fake_folder().clear_log(name);
      for (const std::string& request : {validate, sign, list}) {
        Json answer = Json::parse(handle_daemon_request(state, request));
        if (!answer["ok"].get<bool>()) {
          EXPECT_TRUE(is_known_error(answer["error"])) << what << ", " << request << ": " << answer;
        }
      }
      EXPECT_NE(handle_daemon_request(state, list).find(other_print), std::string::npos) << what;
      // The PIN reaches a module that failed in C_Login once per request, not again in a rerun.
      if (entry == "C_Login") {
        EXPECT_EQ(count_calls(fake_folder().call_log(name), "C_Login"), 2) << what;  // validate, sign
      }
      fake_folder().write_scenario(name, scenario(json::object()));  // the file itself is in use
      EXPECT_EQ(failed(handle_daemon_request(state, validate)), "") << what;
      EXPECT_EQ(failed(handle_daemon_request(state, sign)), "") << what;
      EXPECT_NE(handle_daemon_request(state, list).find(PRINT), std::string::npos) << what;
    }
  }
}

// A module that fails in the certificate search is named with the step it failed in, not
// passed over as if it had no certificate, in both modes; one that lost its state there (a
// device-level answer, a crash) gets a fresh host once within the request, so a device that
// came back is found again without restarting the agent.
TEST_F(FaultMatrixTest, AModuleFailingInTheSearchIsNamedAndStartedAfreshOnce) {
  HostedModules hosted;
  const std::string device = "PKCS11 error: " + describe_rv(CKR_DEVICE_ERROR);
  const std::string ended = Pkcs11Error::of(Pkcs11Error::Kind::HostEnded).text();
  const std::string silent = "the module did not answer within 1 s";
  struct Step {
    std::string entry, prefix, held_prefix;  // the search's prefix, and that of the login's search
  };
  const std::vector<Step> steps = {
      {"C_GetSlotList", "get_slots_with_token: ", "get_slots_with_token: "},
      {"C_OpenSession", "open_ro_session: ", "open_ro_session: "},
      {"C_FindObjectsInit", "find certs: ", "find certs: "},
      {"C_FindObjects", "find certs: ", "find certs: "},
      {"C_GetAttributeValue", "get cert value: ", "get cert attrs: "},
  };
  const Request sign_request{"sign", {}, PRINT, "0102", "1234"};
  const std::string find = R"({"cmd":"find_cert","thumbprint":")" + PRINT + R"("})";
  const std::string validate = R"({"cmd":"validate","thumbprint":")" + PRINT + R"(","pin":"1234"})";
  for (const Step& step : steps) {
    const std::string function = "Function::" + step.entry.substr(2) + ": ";
    for (const auto& [fault, rule, text, fresh_starts] :
         std::vector<std::tuple<std::string, json, std::string, long>>{
             {"device error", {{"fail", json::array({failure(step.entry, CKR_DEVICE_ERROR)})}}, function + device, 1},
             {"crash", {{"crash", json::array({step.entry})}}, ended, 1},
             // The host ends itself on what the module throws: taken as a crash.
             {"throw", {{"throw", json::array({step.entry})}}, ended, 1},
             {"hang", {{"hang", json::array({step.entry})}}, silent, 0}}) {
      const std::string what = step.entry + ", " + fault;
      install_known_module(module, scenario(rule));
      EXPECT_EQ(error_of(run_find_cert(sign_request)), step.prefix + text) << what;
      EXPECT_EQ(error_of(run_sign(sign_request)), step.prefix + text) << what;
      DaemonState state;
      state.candidate_paths = {module};
      state.module_table = state.loader.load(state.candidate_paths, std::chrono::seconds(8));
      fake_folder().clear_log(name);
      const auto asked = std::chrono::steady_clock::now();
      EXPECT_EQ(handle_daemon_request(state, find), error_response_text(step.prefix + text)) << what;
      const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked);
      // What the module was asked, and how long the request took, tell why a fresh start is missing.
      const auto log = fake_folder().call_log(name);
      EXPECT_EQ(count_calls(log, "C_Initialize"), fresh_starts)
          << what << ", " << took.count() << " ms: " << testing::PrintToString(log);
      EXPECT_EQ(handle_daemon_request(state, validate), error_response_text(step.held_prefix + text)) << what;
    }
  }
  // The device comes back under a running module, which only a fresh start notices.
  install_known_module(module, scenario(json::object()));
  DaemonState state;
  state.candidate_paths = {module};
  state.module_table = state.loader.load(state.candidate_paths, std::chrono::seconds(8));
  json wedged = scenario(json::object());
  wedged["wedge_rv"] = CKR_DEVICE_ERROR;
  fake_folder().write_scenario(name, wedged);
  EXPECT_EQ(Json::parse(handle_daemon_request(state, find))["ok"], true);
}

// The watch of the tokens, between requests: a request that waits stops it after one module;
// a module that hangs in it costs one call's bound, gets its fresh host there (not in the
// next request) and rests while the others are watched.
TEST_F(FaultMatrixTest, AModuleThatHangsInTheWatchIsStartedAfreshThereAndRests) {
  REQUIRE_TEST_BED_MODULES(2);
  HostedModules hosted;
  const std::string other = test_known_modules()[1];
  install_known_module(module, scenario(json::object()));
  install_known_module(other, scenario(json::object()));
  DaemonState state;
  state.candidate_paths = {module, other};
  state.module_table = state.loader.load(state.candidate_paths, std::chrono::seconds(8));
  ASSERT_EQ(state.module_table.size(), 2u);
  auto asked = [&](const std::string& path, const char* call = "C_GetSlotList") {
    return count_calls(fake_folder().call_log(file_name_of(path)), call);
  };
  fake_folder().clear_log(name);
  fake_folder().clear_log(file_name_of(other));
  watch_due_modules(state, [] { return true; });
  EXPECT_EQ((asked(module) > 0) + (asked(other) > 0), 1);
  fake_folder().write_scenario(name, scenario({{"hang", {"C_GetSlotList"}}}));
  std::this_thread::sleep_for(WATCH_INTERVAL + std::chrono::milliseconds(100));  // every module's turn again
  watch_due_modules(state, [] { return false; });
  EXPECT_EQ(asked(module, "C_Initialize"), 1);  // in the fresh host
  ASSERT_TRUE(state.module_table.contains(module));
  EXPECT_FALSE(state.module_table.at(module)->host_ended());
  fake_folder().write_scenario(name, scenario(json::object()));
  fake_folder().clear_log(file_name_of(other));
  std::this_thread::sleep_for(WATCH_INTERVAL + std::chrono::milliseconds(100));
  watch_due_modules(state, [] { return false; });
  EXPECT_EQ(asked(module), 0);
  EXPECT_GT(asked(other), 0);
}

// A module in its host reaches nothing of the agent's: no descriptor or handle the agent
// holds (its caller's redirected streams among them), only the host's own two pipe ends and
// standard streams that lead nowhere. Nor can a crash there leave a dump of the PIN. The
// host is its own program, with none of the libraries only the agent needs. Both ways a
// host starts: ahead of its module, and when the module is opened.
TEST_F(FaultMatrixTest, AModuleInItsHostReachesNothingOfTheAgentAndCannotBeDumped) {
  HostedModules hosted;
  const unsigned long long planted = plant_inheritable_handle();
  const json reporting = scenario({{"report_reach", true}, {"reach_probes", {planted}}});
  // A host started ahead, one started for the module, and (Windows) the 32-bit host of a
  // 32-bit module.
  std::vector<std::pair<bool, ModuleBuild>> hosts = {{true, ModuleBuild::Native}, {false, ModuleBuild::Native}};
#ifdef _WIN32
  if (runs_32bit_programs()) hosts.emplace_back(false, ModuleBuild::Only32InWow64);
#endif
  for (const auto& [ahead, build] : hosts) {
    install_known_module(module, reporting, build);
    if (ahead) prestart_module_hosts(1);
    ASSERT_TRUE(open_module(module)) << ahead;
    const json reach = fake_folder().reach(name);
    ASSERT_TRUE(reach.is_object()) << ahead;
    EXPECT_EQ(reach["probes_held"], json::array()) << ahead;
    for (const auto& [descriptor, target] : reach["descriptors"].items()) {
      EXPECT_LE(std::stoi(descriptor), 4) << descriptor << " leads to " << target << ", ahead " << ahead;
      if (std::stoi(descriptor) <= 2) {
        EXPECT_EQ(target, "/dev/null") << descriptor << ", ahead " << ahead;
      }
    }
#ifndef _WIN32
    EXPECT_EQ(reach["dumpable"], 0) << ahead;
    EXPECT_EQ(reach["core_limit"], 0) << ahead;
    EXPECT_EQ(reach["program"], host_path()) << ahead;
    EXPECT_EQ(reach["agent_libraries"], false) << ahead;
#endif
  }
}

#ifndef _WIN32
// A vendor module that ends its host with exit() ends that host only, also among hosts
// started ahead together.
TEST_F(FaultMatrixTest, AModuleThatCallsExitLeavesTheOtherHostsRunning) {
  REQUIRE_TEST_BED_MODULES(2);
  HostedModules hosted;
  const std::string other = test_known_modules()[1];
  install_known_module(module, scenario({{"exit", {"C_GetSlotList"}}}));
  install_known_module(other, scenario(json::object()));
  prestart_module_hosts(2);
  auto exiting = open_module(module);  // in the second
  ASSERT_TRUE(exiting);
  EXPECT_FALSE(slots_with_token(**exiting));
  auto sibling = open_module(other);  // in the first
  ASSERT_TRUE(sibling) << sibling.error();
  EXPECT_TRUE(slots_with_token(**sibling));
}
#endif

}  // namespace
}  // namespace p11agent
