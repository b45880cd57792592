// serve as a caller drives it: requests written to a pipe, answers read line by line.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <cstring>
#include <thread>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "wire/response.h"
#include "support/agent.h"
#ifdef _WIN32
#include "support/deployer.h"
#endif
#include "token/certificate.h"
#include "token/module.h"

namespace p11agent {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;

const std::string CERT = der_with_serial("0a0b");
const std::string PRINT = thumbprint_of(hex_bytes(CERT)).value();
const std::string UNKNOWN = R"({"error":"daemon supports cmd=sign, validate, logout, find_cert, list_certs or ping","ok":false})";

json signing_token() {
  return {{"slots", json::array({slot(1, token("Card", "77", {certificate(CERT, "01"), private_key("01")}))})}};
}

class ServeTest : public ::testing::Test {
 protected:
  void SetUp() override { uninstall_known_modules(); }
  void TearDown() override { uninstall_known_modules(); }
  std::vector<std::string> known = test_known_modules();

  static std::unique_ptr<ChildProcess> serve() {
    fake_folder();  // the daemon inherits the scenario folder of modules installed later
    return std::make_unique<ChildProcess>(agent_path(), std::vector<std::string>{"serve"});
  }
  static std::string ask(ChildProcess& daemon, const std::string& request) {
    daemon.write(request + "\n");
    return daemon.read_line().value_or("<no answer>");
  }
  static std::string validate(const std::string& pin = "1234") {
    return json{{"cmd", "validate"}, {"thumbprint", PRINT}, {"pin", pin}}.dump();
  }
  static std::string sign() {
    return json{{"cmd", "sign"}, {"thumbprint", PRINT}, {"pin", "1234"}, {"hash_hex", "0102"}}.dump();
  }
  // A request as a browser sends it: its length, then its bytes.
  static std::string message(const std::string& request) {
    const auto length = static_cast<std::uint32_t>(request.size());
    return std::string(reinterpret_cast<const char*>(&length), sizeof length) + request;
  }
  // The log without the watch's questions (which tokens are there), which come every second.
  static std::vector<std::string> without_watch(std::vector<std::string> log) {
    std::erase_if(log, [](const std::string& line) {
      return line.starts_with("C_GetSlotList") || line.starts_with("C_GetTokenInfo");
    });
    return log;
  }
  // Waits (10 s at most) until the condition holds; whether it did.
  template <typename Condition>
  static bool comes_true(Condition condition) {
    for (auto until = std::chrono::steady_clock::now() + 10s; !condition();) {
      if (std::chrono::steady_clock::now() >= until) return false;
      std::this_thread::sleep_for(50ms);
    }
    return true;
  }
  // Modules of the test bed only: the known modules that are not ours (on Linux, the
  // system's proxy module) load too and are counted by ping.
  static long our_modules(const std::string& ping_answer) {
    long system_modules = static_cast<long>(default_modules().size() - test_known_modules().size());
    return Json::parse(ping_answer).value("modules", -1L) - system_modules;
  }
};

// A module host never outlives the agent, however the agent ends: killed outright while
// its host is stuck inside the module, the host ends too.
TEST_F(ServeTest, AModuleHostEndsWithTheAgentEvenWhenTheAgentIsKilled) {
  REQUIRE_TEST_BED_MODULES(1);
  json s = signing_token();
  s["pid_file"] = true;
  s["hang"] = {"C_Login"};
  install_known_module(known.front(), s);
  auto daemon = serve();
  EXPECT_EQ(our_modules(ask(*daemon, R"({"cmd":"ping"})")), 1);
  const long host = fake_folder().process_id(file_name_of(known.front()));
  ASSERT_GT(host, 0);
  daemon->write(validate() + "\n");
  for (int wait = 0; wait < 200 && count_calls(fake_folder().call_log(file_name_of(known.front())), "C_Login") == 0; ++wait)
    std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(process_ends_within(host, 0ms));
  daemon->kill();
  daemon->wait();
  EXPECT_TRUE(process_ends_within(host, 5s));
}

TEST_F(ServeTest, FramesRequestsByLine) {
  auto daemon = serve();
  // Blank lines get no answer; "\r\n" ends a line like "\n".
  daemon->write("\n  \t\n\r\n");
  std::string ping = ask(*daemon, "{\"cmd\":\"ping\",\"module\":\"x\"}\r");
  EXPECT_EQ(ping.rfind(R"({"modules":)", 0), 0u) << ping;
  EXPECT_EQ(ping.find('\r'), std::string::npos);
  // A request over two lines: two errors. Two requests on one line: one error.
  daemon->write("{\"cmd\":\n\"ping\"}\n");
  EXPECT_EQ(daemon->read_line(), R"({"error":"invalid JSON request: EOF while parsing a value at line 1 column 7","ok":false})");
  EXPECT_EQ(daemon->read_line(), R"({"error":"invalid JSON request: invalid type: string \"ping\", expected struct Request at line 1 column 6","ok":false})");
  EXPECT_EQ(ask(*daemon, R"({"cmd":"ping"}{"cmd":"ping"})"),
            R"({"error":"invalid JSON request: trailing characters at line 1 column 15","ok":false})");
  for (const char* other : {R"({"cmd":"PING"})", R"({"cmd":"enumerate"})", R"(["",null])"})
    EXPECT_EQ(ask(*daemon, other), UNKNOWN);
  EXPECT_EQ(ask(*daemon, R"({"cmd":"find_cert"})"), R"({"error":"find_cert requires thumbprint","ok":false})");
  // A 10 MB line is not held: it is answered once and skipped.
  EXPECT_EQ(ask(*daemon, "{\"cmd\":\"x\",\"pad\":\"" + std::string(10 << 20, 'p') + "\"}"),
            R"({"error":"request line longer than the 1048576 bytes serve takes","ok":false})");
  EXPECT_EQ(ask(*daemon, R"({"cmd":"find_cert"})"), R"({"error":"find_cert requires thumbprint","ok":false})");
  // The last line may end with the input instead of "\n".
  daemon->write(R"({"cmd":"nope"})");
  daemon->close_stdin();
  EXPECT_EQ(daemon->read_line(), UNKNOWN);
  EXPECT_EQ(daemon->read_rest(), "");
  EXPECT_EQ(daemon->wait(), 0);
  EXPECT_EQ(daemon->stderr_text(), "");
}

TEST_F(ServeTest, EndsWithoutAnAnswerAtALineThatIsNotUtf8) {
  auto daemon = serve();
  daemon->write("{\"cmd\":\"ping\xff\"}\n{\"cmd\":\"ping\"}\n");
  EXPECT_EQ(daemon->read_rest(), "");
  EXPECT_EQ(daemon->wait(), 0);
}

TEST_F(ServeTest, EndsCleanlyWhenTheCallerStopsReading) {
  auto daemon = spawn_raw(agent_path(), {"serve"});
  const std::string ping = "{\"cmd\":\"ping\"}\n";
  ASSERT_TRUE(daemon->write_stdin(ping.data(), ping.size()));
  char first[1];
  ASSERT_EQ(daemon->read_stdout(first, 1), 1u);  // it is serving
  daemon->close_stdout();
  // Its next answers go nowhere: the write fails (no signal ends it) and the daemon ends.
  for (int i = 0; i < 100; ++i) daemon->write_stdin(ping.data(), ping.size());
  daemon->close_stdin();
  EXPECT_EQ(daemon->wait(), 0);
}

TEST_F(ServeTest, SignsOnTheHeldSessionAndClosesItWithoutLogoutAtTheEnd) {
  REQUIRE_TEST_BED_MODULES(1);
  install_known_module(known[0], signing_token());
  const std::string name = file_name_of(known[0]);
  auto daemon = serve();
  EXPECT_EQ(our_modules(ask(*daemon, R"({"cmd":"ping"})")), 1);
  EXPECT_EQ(ask(*daemon, validate()), R"({"ok":true})");
  EXPECT_EQ(ask(*daemon, validate()), R"({"cached":true,"ok":true})");
  fake_folder().clear_log(name);
  for (int i = 0; i < 20; ++i) {
    Json answer = Json::parse(ask(*daemon, sign()));
    ASSERT_EQ(answer.value("ok", false), true) << answer.dump();
    EXPECT_EQ(answer["module"], known[0]);
    EXPECT_EQ(answer["cert_der_b64"], base64_encode(hex_bytes(CERT)));
    EXPECT_EQ(answer["signature_hex"].get<std::string>().substr(0, 4), "0102");
  }
  auto log = without_watch(fake_folder().call_log(name));
  EXPECT_EQ(count_calls(log, "C_Login"), 0);
  EXPECT_EQ(count_calls(log, "C_Sign"), 40);
  EXPECT_EQ(log.size(), 60u);  // only C_SignInit and two C_Sign per signature
  EXPECT_EQ(ask(*daemon, R"({"cmd":"logout"})"), R"({"closed":1,"ok":true})");
  EXPECT_EQ(ask(*daemon, validate()), R"({"ok":true})");
  daemon->close_stdin();
  EXPECT_EQ(daemon->wait(), 0);
  auto end = calls_named(fake_folder().call_log(name), {"C_Logout", "C_CloseSession", "C_Finalize"});
  // logout's C_Logout and close, then at the end only a close before the finalise.
  EXPECT_EQ(end, (std::vector<std::string>{"C_Logout", "C_CloseSession", "C_CloseSession", "C_CloseSession", "C_Finalize"}));
}

// The tokens are watched while serve runs: a pulled token's login ends at once, without a
// request; a caller that asked is told of each change; another token in the same slot
// inherits nothing of the one before.
TEST_F(ServeTest, APulledTokenTakesItsLoginAlongAndAWatchingCallerIsTold) {
  REQUIRE_TEST_BED_MODULES(1);
  install_known_module(known[0], signing_token());
  const std::string name = file_name_of(known[0]);
  auto with_card = [&](const std::string& label, const std::string& serial, const std::string& insertion) {
    json s = signing_token();
    s["slots"][0]["token"]["label"] = label;
    s["slots"][0]["token"]["serial"] = serial;
    s["slots"][0]["token"]["insertion"] = insertion;
    return s;
  };
  const json pulled = {{"slots", json::array({empty_slot(1)})}};
  auto tokens = [&](const std::string& label, const std::string& serial) {
    return json::array({{{"module", known[0]}, {"token_label", label}, {"token_serial", serial}}});
  };
  // What a line says of our module (the system's own modules have tokens of their own).
  auto of_ours = [&](const std::optional<std::string>& line) {
    json said = json::parse(line.value_or("{}"));
    if (said.contains("tokens")) {
      json ours = json::array();
      for (const json& token : said["tokens"])
        if (token["module"] == known[0]) ours.push_back(token);
      said["tokens"] = ours;
    }
    return said.dump();
  };
  auto event = [&](const json& listed) { return json{{"event", "tokens_changed"}, {"tokens", listed}}.dump(); };
  const std::string details = json{{"cmd", "find_cert"}, {"thumbprint", PRINT}, {"details", true}}.dump();
  TestTrace trace("watch");
  auto daemon = serve();
  EXPECT_EQ(ask(*daemon, validate()), R"({"ok":true})");
  fake_folder().clear_log(name);
  // Not watching: the login ends all the same, and nothing is written unasked.
  fake_folder().write_scenario(name, pulled);
  EXPECT_TRUE(comes_true([&] { return count_calls(fake_folder().call_log(name), "C_CloseSession") == 1; }));
  EXPECT_EQ(our_modules(ask(*daemon, R"({"cmd":"ping"})")), 1);
  fake_folder().write_scenario(name, with_card("Card", "77", "2"));
  EXPECT_EQ(of_ours(ask(*daemon, R"({"cmd":"watch_tokens"})")), json({{"ok", true}, {"tokens", tokens("Card", "77")}}).dump());
  EXPECT_EQ(ask(*daemon, validate()), R"({"ok":true})");
  EXPECT_TRUE(Json::parse(ask(*daemon, details)).contains("algorithms"));
  // Another card in the same reader: told, and the first card's login and mechanisms are gone
  // before any request.
  fake_folder().clear_log(name);
  fake_folder().write_scenario(name, with_card("Other card", "88", "3"));
  auto told_at = std::chrono::steady_clock::now();
  EXPECT_EQ(of_ours(daemon->read_line(10s)), event(tokens("Other card", "88")));
  std::cout << "swap told after " << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - told_at).count() << " ms\n";
  EXPECT_EQ(calls_named(fake_folder().call_log(name), {"C_CloseSession", "C_Login"}), std::vector<std::string>{"C_CloseSession"});
  EXPECT_TRUE(Json::parse(ask(*daemon, details)).contains("algorithms"));
  EXPECT_EQ(count_calls(fake_folder().call_log(name), "C_GetMechanismList"), 2);  // the count, then the list
  EXPECT_EQ(Json::parse(ask(*daemon, sign())).value("ok", false), true);
  EXPECT_EQ(count_calls(fake_folder().call_log(name), "C_Login"), 1);
  // Pulled while watched: told, with no token left.
  fake_folder().write_scenario(name, pulled);
  EXPECT_EQ(of_ours(daemon->read_line(10s)), event(json::array()));
  // Put back while the watch's round waits on a slow slot list, and a request comes in that
  // round: both the answer and the event are written.
  json slow = with_card("Card", "77", "5");
  slow["delay_ms"] = {{"C_GetSlotList", 1500}};
  fake_folder().write_scenario(name, slow);
  std::this_thread::sleep_for(1500ms);
  daemon->write(std::string(R"({"cmd":"ping"})") + "\n");
  std::set<std::string> written = {of_ours(daemon->read_line(15s)), of_ours(daemon->read_line(15s))};
  EXPECT_TRUE(written.contains(event(tokens("Card", "77")))) << *written.begin();
  EXPECT_EQ(std::ranges::count_if(written, [](const std::string& line) { return line.find("\"modules\"") != std::string::npos; }), 1);
  fake_folder().write_scenario(name, pulled);
  EXPECT_EQ(of_ours(daemon->read_line(10s)), event(json::array()));
  daemon->close_stdin();
  EXPECT_EQ(daemon->wait(), 0);
  auto watched = [&](const char* what, const char* label) {
    return json{{"event", "watch"}, {"what", what}, {"module", known[0]}, {"slot", 1}, {"label", label}};
  };
  EXPECT_TRUE(trace.holds({watched("went", "Card"), watched("came", "Other card"), watched("went", "Other card"),
                           watched("came", "Card"), watched("went", "Card")}));
  // A browser's page is told only that something changed: a site learns of certificates
  // through its user's choice alone.
  ChildProcess browser(agent_path(), {"chrome-extension://knldjmfmopnpolahpmmgbagdohdnhkik/", "--parent-window=0"});
  browser.write(message(R"({"cmd":"watch_tokens"})"));
  EXPECT_EQ(browser.read_message().value_or("<none>"), R"({"ok":true})");
  fake_folder().write_scenario(name, with_card("Card", "77", "4"));
  EXPECT_EQ(browser.read_message(10s).value_or("<none>"), R"({"event":"tokens_changed"})");
  browser.close_stdin();
  EXPECT_EQ(browser.wait(), 0);
}

TEST_F(ServeTest, AHangingModuleDelaysStartByTheDeadlineOnly) {
  REQUIRE_TEST_BED_MODULES(2);
  install_known_module(known[0], {{"delay_ms", {{"C_Initialize", 30000}}}});
  install_known_module(known[1], signing_token());
  auto started = std::chrono::steady_clock::now();
  auto daemon = serve();
  std::string ping = ask(*daemon, R"({"cmd":"ping"})");
  auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(our_modules(ping), 1) << ping;
  EXPECT_LT(waited, 20s);  // the 8-second deadline, not the module's 30 seconds
  EXPECT_EQ(ask(*daemon, validate()), R"({"ok":true})");
  // Certificates found nowhere, while the first module is still loading: answered without
  // waiting for it (six seconds each before).
  const std::string elsewhere = json{{"cmd", "validate"}, {"thumbprint", std::string(40, 'e')}, {"pin", "1234"}}.dump();
  for (int request = 0; request < 4; ++request)
    EXPECT_EQ(ask(*daemon, elsewhere), error_response_text("certificate not found on any connected token"));
  daemon->close_stdin();
  EXPECT_EQ(daemon->wait(), 0);  // the hanging loader thread does not keep the process
}

TEST_F(ServeTest, AModuleInstalledAfterStartIsLoadedWhenItsCertificateIsAskedFor) {
  REQUIRE_TEST_BED_MODULES(2);
  auto daemon = serve();
  long before = Json::parse(ask(*daemon, R"({"cmd":"ping"})")).value("modules", -1L);
  install_known_module(known[1], signing_token());
  EXPECT_EQ(ask(*daemon, R"({"cmd":"find_cert","thumbprint":")" + PRINT + R"("})"),
            R"({"error":"certificate not found on any connected token","ok":false})");
  EXPECT_EQ(ask(*daemon, validate()), R"({"ok":true})");
  EXPECT_EQ(Json::parse(ask(*daemon, R"({"cmd":"ping"})")).value("modules", -1L), before + 1);
  EXPECT_EQ(ask(*daemon, validate("0000")), R"({"error":"WRONG_PIN:-1","ok":false})");
}

#ifndef _WIN32
// serve answers as it always did unless the deployer names a setting of its logins: then a
// login ends once its request's answer is written (SignatureConsent pin), or once unused past
// the limit, ended by the ticker between requests (LoginIdleSeconds). The settings are set as
// a deployer sets them, in /etc (of a mount namespace of the test's own).
TEST_F(ServeTest, ServeFollowsTheDeployersLoginSettingsWhereNamed) {
  REQUIRE_TEST_BED_MODULES(1);
  if (::geteuid() != 0) GTEST_SKIP() << "the deployer's settings are written over /etc, which needs root";
  install_known_module(known[0], signing_token());
  const std::string name = file_name_of(known[0]);
  auto logged = [&](const char* call) { return count_calls(fake_folder().call_log(name), call); };
  struct Case {
    std::string settings;
    std::vector<std::pair<std::string, std::string>> steps;  // request, answer
    long logins, logouts;
    bool waits_past_limit;
  };
  const std::string fresh = R"({"ok":true})", cached = R"({"cached":true,"ok":true})";
  const std::vector<Case> cases = {
      {"", {{validate(), fresh}, {validate(), cached}}, 1, 0, false},
      {"signature-consent=pin", {{validate(), fresh}, {validate(), fresh}}, 2, 2, false},
      {"login-idle-seconds=1", {{validate(), fresh}, {validate(), fresh}}, 2, 1, true},
      {"login-idle-seconds=0", {{validate(), fresh}, {validate(), cached}}, 1, 0, true},
      // A FIFO in a setting's place holds nothing up: read, as a folder there is, as a value
      // not taken (each); a word not taken likewise; each value is read once, at the start.
      {"signature-consent:fifo", {{validate(), fresh}, {validate(), cached}}, 1, 0, false},
      {"signature-consent:folder,login-idle-seconds:folder", {{validate(), fresh}, {validate(), cached}}, 1, 0, false},
      {"lock-ends-logins=sometimes", {{validate(), fresh}, {validate(), cached}}, 1, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings);
    fake_folder().clear_log(name);
    fake_folder();
    auto daemon = c.settings.empty()
                      ? serve()
                      : std::make_unique<ChildProcess>(std::string(P11AGENT_SOURCE_DIR) + "/scripts/with-deployer-setting.sh",
                                                       std::vector<std::string>{c.settings, agent_path(), "serve"});
    EXPECT_EQ(ask(*daemon, c.steps[0].first), c.steps[0].second);
    // Ended between requests, with no request to come (or not ended in 2.5 s).
    if (c.waits_past_limit && c.logouts > 0) {
      EXPECT_TRUE(comes_true([&] { return logged("C_Logout") > 0; }));
    } else if (c.waits_past_limit) {
      std::this_thread::sleep_for(2500ms);
    }
    EXPECT_EQ(ask(*daemon, c.steps[1].first), c.steps[1].second);
    EXPECT_TRUE(comes_true([&] { return logged("C_Logout") == c.logouts; })) << logged("C_Logout");
    EXPECT_EQ(logged("C_Login"), c.logins);
    daemon->close_stdin();
    EXPECT_EQ(daemon->wait(), 0);
  }
  // Nor does the doctor wait on a FIFO, the deployer's or the user's own trace setting.
  const std::string config = executable_folder() + "/fifo-config";
  std::filesystem::remove_all(config);
  std::filesystem::create_directories(config + "/p11agent");
  ASSERT_EQ(::mkfifo((config + "/p11agent/trace-file").c_str(), 0600), 0);
  set_environment("XDG_CONFIG_HOME", config);
  const char* traced = std::getenv("P11AGENT_TRACE");  // the variable would win over the setting
  const std::string traced_before = traced != nullptr ? traced : "";
  set_environment("P11AGENT_TRACE", "");
  const RunResult doctor = run_program("/usr/bin/timeout", {"60", std::string(P11AGENT_SOURCE_DIR) + "/scripts/with-deployer-setting.sh",
                                                            "signature-consent:fifo", agent_path(), "--doctor"}, "");
  auto daemon = serve();
  EXPECT_EQ(ask(*daemon, validate()), fresh);
  daemon->close_stdin();
  EXPECT_EQ(daemon->wait(), 0);
  set_environment("XDG_CONFIG_HOME", "");
  set_environment("P11AGENT_TRACE", traced_before);
  EXPECT_NE(doctor.status, 124) << "the doctor waited on a FIFO";
  EXPECT_NE(doctor.out.find("SignatureConsent"), std::string::npos) << doctor.out;
}
#endif

// A browser's native-messaging host: the same conversation as serve, in the browser's
// framing, however the browser passes its arguments; its signature on a held login is the
// one the user confirmed.
TEST_F(ServeTest, AnswersABrowserAsItAnswersServeInTheBrowsersFraming) {
  REQUIRE_TEST_BED_MODULES(1);
  // A certificate the picker can offer: one whose dates and key can be read.
  install_known_module(known[0], {{"slots", json::array({slot(1, token("Card", "77", {certificate(SIGNING_P256_HEX, "01"),
                                                                                    private_key("01", CKK_EC)}))})}});
  const std::string print = thumbprint_of(hex_bytes(SIGNING_P256_HEX)).value();
  auto with_pin = [&](const char* cmd, const std::string& pin) {
    json request = {{"cmd", cmd}, {"thumbprint", print}, {"pin", pin}};
    if (std::string_view(cmd) == "sign") request["hash_hex"] = "0102";
    return request.dump();
  };
  std::vector<std::string> requests = {
      R"({"cmd":"ping"})", json{{"cmd", "find_cert"}, {"thumbprint", print}}.dump(), with_pin("validate", "0000"),
      with_pin("validate", "1234"), with_pin("sign", "1234"), "not json", R"({"cmd":"logout"})"};
#ifdef _WIN32
  // The deployer lets a site list and use every certificate, as an application does, and
  // sign on a held login without a confirmation (nobody is there to press Sign).
  DeployerSetting listing{L"AllowCertListing"};
  DeployerSetting consent{L"SignatureConsent", L"none"};
#else
  // The user confirms the signature: pinentry's CONFIRM is answered OK.
  const std::string confirming = executable_folder() + "/pinentry-confirms";
  std::ofstream(confirming) << "#!/bin/sh\necho OK\nwhile read -r line; do echo OK; done\n";
  std::filesystem::permissions(confirming, std::filesystem::perms::owner_all);
  set_environment("P11AGENT_PINENTRY", confirming);
  // A site uses what its user chose for it: the user picks the token's certificate first
  // (an application that asks is given the same answer).
  const std::string picker = executable_folder() + "/picker-first-row";
  std::ofstream(picker) << "#!/bin/sh\ncat >/dev/null\necho 0\n";
  std::filesystem::permissions(picker, std::filesystem::perms::owner_all);
  set_environment("P11AGENT_CERT_PICKER", picker);
  set_environment("DISPLAY", ":99");
  requests.insert(requests.begin() + 1, R"({"cmd":"choose_cert"})");
#endif
  std::string lines, framed;
  for (const std::string& request : requests) {
    lines += request + "\n";
    framed += message(request);
  }
  RunResult served = run_agent(lines, {"serve"});
  ASSERT_EQ(served.status, 0);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"chrome-extension://knldjmfmopnpolahpmmgbagdohdnhkik/", "--parent-window=0"},
        std::vector<std::string>{"/usr/lib/mozilla/native-messaging-hosts/p11agent.json", "p11agent@example.org"}}) {
    RunResult hosted = run_agent(framed, args);
    EXPECT_EQ(hosted.status, 0) << args[0];
    std::string answers;
    for (std::string_view rest = hosted.out; rest.size() >= sizeof(std::uint32_t);) {
      std::uint32_t length = 0;
      std::memcpy(&length, rest.data(), sizeof length);
      rest.remove_prefix(sizeof length);
      ASSERT_LE(length, rest.size()) << args[0];
      answers.append(rest.substr(0, length)).append("\n");
      rest.remove_prefix(length);
    }
    EXPECT_EQ(answers, served.out) << args[0];
  }
}

#ifndef _WIN32
// Stands in for GnuPG's pinentry: logs each command it gets (and its own start) and answers
// GETPIN, CONFIRM and MESSAGE from a list shared by every start: "pin <escaped PIN>", "ok"
// (Sign pressed), "cancel", "timeout", "notty" (a terminal pinentry without a terminal), or
// "wait" (no answer: the agent closes it). Like the real one, it ends the connection on a
// line past 1000 bytes.
constexpr const char* STANDIN_PINENTRY = R"(#!/bin/sh
export LC_ALL=C
echo START >> "$STANDIN_LOG"
echo "OK Pleased to meet you"
while IFS= read -r line; do
  printf '%s\n' "$line" >> "$STANDIN_LOG"
  [ ${#line} -lt 1000 ] || exit 1
  case "$line" in
    GETPIN|MESSAGE|CONFIRM)
      n=$(cat "$STANDIN_ANSWERS.next" 2>/dev/null || echo 1)
      echo $((n + 1)) > "$STANDIN_ANSWERS.next"
      answer=$(sed -n "${n}p" "$STANDIN_ANSWERS")
      case "$answer" in
        "pin "*) printf 'S PROGRESS\nD %s\nOK\n' "${answer#pin }" ;;
        ok) echo OK ;;
        cancel) echo "ERR 83886179 Operation cancelled <Pinentry>" ;;
        timeout) echo "ERR 83886142 Timeout <Pinentry>" ;;
        notty) echo "ERR 83918950 Inappropriate ioctl for device <Pinentry>" ;;
        wait) ;;
        *) exit 1 ;;
      esac ;;
    *) echo OK ;;
  esac
done
)";

// Stands in for zenity and kdialog: logs its arguments, one per line, after a START line,
// then what it read on its standard input after a STDIN line, and answers from a list shared
// by every start: "row <n>" (chosen), "none" (OK with no row chosen), "exit <status>"
// (ends so, printing nothing), "killed" (by a signal) or "cancel" (closed: status 1).
constexpr const char* STANDIN_PICKER = R"(#!/bin/sh
echo START >> "$STANDIN_LOG"
printf '%s\n' "$@" >> "$STANDIN_LOG"
echo STDIN >> "$STANDIN_LOG"
cat >> "$STANDIN_LOG"
n=$(cat "$STANDIN_ANSWERS.next" 2>/dev/null || echo 1)
echo $((n + 1)) > "$STANDIN_ANSWERS.next"
answer=$(sed -n "${n}p" "$STANDIN_ANSWERS")
case "$answer" in
  "row "*) echo "${answer#row }" ;;
  none) echo ;;
  "exit "*) exit "${answer#exit }" ;;
  killed) kill -9 $$ ;;
  *) exit 1 ;;
esac
)";

// The picker is the desktop's dialog program: zenity reads the rows on its standard input
// (a holder's name that looks like an option is a cell, never an argument), a row that
// cannot be picked or no row shows the list again with a word of why; its exit status
// tells the user's cancel, its own timeout and a failure apart; kdialog is given its radio
// list, each entry starting with its number; a machine without a desktop or a picker is
// told so.
TEST_F(ServeTest, ThePickerIsTheDesktopsDialogProgramWhoseRowsAreNeverOptions) {
  REQUIRE_TEST_BED_MODULES(1);
  const std::string option_like = cert_named(utf8_attribute(CN, "Issuer"), utf8_attribute(CN, "--help <b>x</b>"));
  json card = token("Card", "77", {certificate(SIGNING_P256_HEX, "01"), private_key("01"), certificate(EXPIRED_P384_HEX, "02"),
                                   private_key("02"), certificate(option_like, "03"), private_key("03")});
  install_known_module(known[0], {{"slots", json::array({slot(1, card)})}});
  const std::string folder = executable_folder() + "/picker-standin";
  std::filesystem::create_directories(folder + "/kde");
  const std::string zenity = folder + "/zenity", kdialog = folder + "/kde/kdialog", log = folder + "/log",
                    answers = folder + "/answers";
  for (const std::string& program : {zenity, kdialog}) {
    std::ofstream(program) << STANDIN_PICKER;
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  }
  std::ofstream(answers) << "row 1\nnone\nrow 0\ncancel\nexit 5\nexit 255\nkilled\nrow 0\n";
  std::filesystem::remove(answers + ".next");
  std::filesystem::remove(log);
  set_environment("STANDIN_LOG", log);
  set_environment("STANDIN_ANSWERS", answers);
  set_environment("DISPLAY", ":99");
  set_environment("P11AGENT_CERT_PICKER", zenity);
  for (const char* variable : {"LANGUAGE", "LC_ALL", "LC_MESSAGES"}) set_environment(variable, "");
  set_environment("LANG", "C");
  const std::string choose = R"({"cmd":"choose_cert"})";
  const std::string anna = thumbprint_of(hex_bytes(SIGNING_P256_HEX)).value();
  {
    TestTrace trace("picker");
    auto daemon = serve();
    EXPECT_NE(ask(*daemon, choose).find(R"("thumbprint":")" + anna + '"'), std::string::npos);
    EXPECT_EQ(ask(*daemon, choose), error_response_text("CERT_CHOICE_CANCELLED: the certificate choice was cancelled"));
    EXPECT_EQ(ask(*daemon, choose), error_response_text("CERT_CHOICE_TIMEOUT: nobody chose a certificate within 120 seconds"));
    for (const char* how : {"exit status 255", "signal 9"})
      EXPECT_EQ(ask(*daemon, choose),
                error_response_text("CERT_CHOICE_UNAVAILABLE: " + zenity + " ended with " + how + " before showing the list"));
    daemon->close_stdin();
    EXPECT_EQ(daemon->wait(), 0);
    auto picker = [](const char* end) { return json{{"event", "picker"}, {"what", "ended"}, {"end", end}}; };
    json killed = picker("unavailable");
    killed["detail"] = zenity + " ended with signal 9 before showing the list";
    EXPECT_TRUE(trace.holds({{{"event", "picker"}, {"what", "shown"}, {"program", zenity}}, picker("picked"),
                             picker("cancelled"), picker("timeout"), picker("unavailable"), killed}));
  }
  std::ifstream read(log);
  // Each start's arguments, then what it read.
  std::vector<std::vector<std::string>> starts, inputs;
  for (std::string line; std::getline(read, line);) {
    if (line == "START") starts.emplace_back();
    else if (line == "STDIN") inputs.emplace_back();
    else if (inputs.size() == starts.size() && !inputs.empty()) inputs.back().push_back(line);
    else if (!starts.empty()) starts.back().push_back(line);
  }
  ASSERT_EQ(starts.size(), 7u);
  ASSERT_EQ(inputs.size(), 7u);
  const std::string option_like_row = R"(CN=--help \<b\>x\</b\>)";  // escaped as RFC 4514 writes values
  // Eight cells a row, the row's number first.
  ASSERT_EQ(inputs[0].size(), 24u);
  EXPECT_EQ(inputs[0][16], "2");
  EXPECT_EQ(inputs[0][17], option_like_row);
  EXPECT_EQ(inputs[0][15], "expired on 2002-01-01");
  EXPECT_EQ(std::ranges::find(starts[0], option_like_row), starts[0].end());
  EXPECT_EQ(std::ranges::find(starts[0], "--"), starts[0].end());
  auto text_of = [](const std::vector<std::string>& arguments) {
    std::string all;
    for (const std::string& argument : arguments) all += argument + "\n";
    return all;
  };
  EXPECT_NE(text_of(starts[1]).find("That certificate cannot be used (expired on 2002-01-01). Choose another, or Cancel."),
            std::string::npos);
  EXPECT_NE(text_of(starts[2]).find("Choose a certificate, or Cancel."), std::string::npos);

  // kdialog, by its name: a radio list of tags, texts and states.
  set_environment("P11AGENT_CERT_PICKER", kdialog);
  std::filesystem::remove(log);
  EXPECT_NE(run_agent(choose).out.find(R"("thumbprint":")" + anna + '"'), std::string::npos);
  std::ostringstream kde;
  kde << std::ifstream(log).rdbuf();
  EXPECT_NE(kde.str().find("--radiolist\n<qt>An application on this computer asks you to choose a certificate.<br>"),
            std::string::npos) << kde.str();
  EXPECT_NE(kde.str().find("\n--\n0\n1. CN=Anna Signer | issued by CN=Example Signing CA, O=Example Trust | valid "
                           "2020-01-01 to 2040-01-01 | EC P-256, for signing, for logging in | token Card | Can be chosen\noff\n"),
            std::string::npos) << kde.str();
  EXPECT_NE(kde.str().find("\n3. CN=--help"), std::string::npos) << kde.str();

  // In the user's language: the columns, the statuses and the notes; names, dates and the
  // label as they are.
  std::ofstream(answers) << "row 1\nrow 0\nrow 0\n";
  std::filesystem::remove(answers + ".next");
  for (const auto& [picker, lang, shown] : std::vector<std::tuple<std::string, std::string, std::vector<std::string>>>{
           {zenity, "ru_RU.UTF-8",
            {"--column=\u0412\u043b\u0430\u0434\u0435\u043b\u0435\u0446",  // Владелец
             "--cancel-label=\u041e\u0442\u043c\u0435\u043d\u0430",            // Отмена
             "\u0438\u0441\u0442\u0451\u043a 2002-01-01",                       // истёк
             "\u041c\u043e\u0436\u043d\u043e \u0432\u044b\u0431\u0440\u0430\u0442\u044c",  // Можно выбрать
             "\u042d\u0442\u043e\u0442 \u0441\u0435\u0440\u0442\u0438\u0444\u0438\u043a\u0430\u0442 "
             "\u043d\u0435\u043b\u044c\u0437\u044f \u0438\u0441\u043f\u043e\u043b\u044c\u0437\u043e\u0432\u0430\u0442\u044c "
             "(\u0438\u0441\u0442\u0451\u043a 2002-01-01)."}},  // Этот сертификат нельзя использовать (истёк …).
           {kdialog, "de_DE.UTF-8",
            {"<qt>Eine Anwendung auf diesem Computer bittet Sie, ein Zertifikat auszuw\u00e4hlen.<br>",
             "1. CN=Anna Signer | ausgestellt von CN=Example Signing CA, O=Example Trust | g\u00fcltig 2020-01-01 bis "
             "2040-01-01 | EC P-256, zum Signieren, zum Anmelden | Token Card | Ausw\u00e4hlbar\n"}}}) {
    set_environment("P11AGENT_CERT_PICKER", picker);
    set_environment("LANG", lang);
    std::filesystem::remove(log);
    EXPECT_NE(run_agent(choose).out.find(R"("thumbprint":")" + anna + '"'), std::string::npos);
    std::ostringstream said;
    said << std::ifstream(log).rdbuf();
    for (const std::string& text : shown) EXPECT_NE(said.str().find(text), std::string::npos) << lang << ": " << text;
  }
  set_environment("LANG", "C");

  // A program that cannot start.
  const std::string broken = folder + "/broken";
  std::ofstream(broken) << "#!/nonexistent/interpreter\n";
  std::filesystem::permissions(broken, std::filesystem::perms::owner_all);
  set_environment("P11AGENT_CERT_PICKER", broken);
  EXPECT_EQ(run_agent(choose).out, error_response_text("CERT_CHOICE_UNAVAILABLE: " + broken +
                                                       " ended with exit status 127 before showing the list") + "\n");

  // No picker, no desktop.
  set_environment("P11AGENT_CERT_PICKER", folder + "/none");
  EXPECT_EQ(run_agent(choose).out, error_response_text("CERT_CHOICE_UNAVAILABLE: no certificate picker found: install the "
                                                       "zenity package (or kdialog on KDE) (" + folder + "/none)") + "\n");
  set_environment("P11AGENT_CERT_PICKER", zenity);
  set_environment("DISPLAY", "");
  EXPECT_EQ(run_agent(choose).out, error_response_text("CERT_CHOICE_UNAVAILABLE: no desktop to show the certificate "
                                                       "choice on (neither DISPLAY nor WAYLAND_DISPLAY is set)") + "\n");
}

// The agent speaks pinentry's protocol: one program per prompt, asked again after a wrong
// PIN, the PIN taken from its escaped data line, its cancel and timeout answers told
// apart, texts escaped onto one line of at most 1000 bytes however long the certificate's
// names; a terminal pinentry is passed over without a terminal, and a machine without
// pinentry is told what to install.
TEST_F(ServeTest, ThePromptIsPinentrySpokenToOverAssuan) {
  REQUIRE_TEST_BED_MODULES(1);
  json s = signing_token();
  s["slots"][0]["token"]["pin"] = "1%2";
  s["slots"][0]["token"]["label"] = "Card 100%";
  // With values of '%'s, which escaping makes three times as long: the names alone would
  // pass a pinentry line.
  const std::string percents(90, '%');
  const std::string long_named =
      cert_named(utf8_attribute(CN, percents) + utf8_attribute(O, percents) + long_cyrillic_subject(),
                 utf8_attribute(O, percents) + utf8_attribute(OU, percents) + utf8_attribute(OU, percents) +
                     long_cyrillic_subject());
  ASSERT_GT(long_named.size() / 2, 2048u);  // subject and issuer together pass 2 kB
  s["slots"][0]["token"]["objects"].push_back(certificate(long_named, "02"));
  s["slots"][0]["token"]["objects"].push_back(private_key("02"));
  install_known_module(known[0], s);
  const std::string folder = executable_folder() + "/pinentry-standin";
  std::filesystem::create_directories(folder);
  const std::string program = folder + "/pinentry", log = folder + "/log", answers = folder + "/answers";
  std::ofstream(program) << STANDIN_PINENTRY;
  std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  std::ofstream(answers) << "pin 0000\npin 1%252\ncancel\ntimeout\npin 1%252\nnotty\nwait\ncancel\n";
  std::filesystem::remove(answers + ".next");
  std::filesystem::remove(log);
  set_environment("STANDIN_LOG", log);
  set_environment("STANDIN_ANSWERS", answers);
  set_environment("P11AGENT_PINENTRY", program);
  for (const char* variable : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LC_CTYPE"}) set_environment(variable, "");
  set_environment("LANG", "C");
  TestTrace trace("prompt");
  auto daemon = serve();
  auto asking = [&](const char* cmd) {
    json request = {{"cmd", cmd}, {"thumbprint", PRINT}, {"pin_prompt", true}};
    if (std::string_view(cmd) == "sign") request["hash_hex"] = "0102";
    return request.dump();
  };
  EXPECT_EQ(ask(*daemon, asking("validate")), R"({"ok":true})");
  EXPECT_EQ(ask(*daemon, R"({"cmd":"logout"})"), R"({"closed":1,"ok":true})");
  EXPECT_EQ(ask(*daemon, asking("sign")), error_response_text("PIN_PROMPT_CANCELLED: the PIN prompt was cancelled"));
  EXPECT_EQ(ask(*daemon, asking("sign")),
            error_response_text("PIN_PROMPT_TIMEOUT: nobody answered the PIN prompt within 120 seconds"));
  json long_validate = json::parse(asking("validate"));
  long_validate["thumbprint"] = thumbprint_of(hex_bytes(long_named)).value();
  EXPECT_EQ(ask(*daemon, long_validate.dump()), R"({"ok":true})");
  EXPECT_EQ(ask(*daemon, R"({"cmd":"logout"})"), R"({"closed":1,"ok":true})");
  const std::string needs_terminal =
      " needs a terminal, and p11agent has none here: install pinentry-gnome3, pinentry-gtk2 or pinentry-qt and "
      "name it as pinentry-program in gpg-agent.conf";
  EXPECT_EQ(ask(*daemon, asking("validate")), error_response_text("PIN_PROMPT_UNAVAILABLE: " + program + needs_terminal));
  // A token pulled while its prompt waits for the user closes the prompt.
  daemon->write(asking("validate") + "\n");
  const std::string name = file_name_of(known[0]);
  EXPECT_TRUE(comes_true([&] { return std::filesystem::exists(answers + ".next") && std::ifstream(answers + ".next").get() == '8'; }));
  fake_folder().write_scenario(name, {{"slots", json::array({empty_slot(1)})}});
  EXPECT_EQ(daemon->read_line(10s).value_or("<none>"),
            error_response_text("TOKEN_REMOVED: the token was removed while the PIN was asked for"));
  fake_folder().write_scenario(name, s);
  daemon->close_stdin();
  EXPECT_EQ(daemon->wait(), 0);
  // What the prompt showed and how each ended: the wrong PIN as the token's answer.
  auto prompt = [&](const char* end) { return json{{"event", "prompt"}, {"what", "ended"}, {"asks", "pin"}, {"end", end}}; };
  EXPECT_TRUE(trace.holds({{{"event", "prompt"}, {"what", "shown"}, {"asks", "pin"}, {"program", program}},
                           prompt("entered"), {{"event", "call"}, {"fn", "C_Login"}, {"rv", "CKR_PIN_INCORRECT"}},
                           prompt("entered"), {{"event", "call"}, {"fn", "C_Login"}, {"rv", "CKR_OK"}},
                           prompt("cancelled"), prompt("timeout"), prompt("entered"), prompt("unavailable"),
                           prompt("token_removed"), {{"event", "end"}, {"status", 0}}}));
  std::ifstream lines(log);
  std::vector<std::string> seen;
  for (std::string line; std::getline(lines, line);) seen.push_back(line);
  const std::string description =
      "SETDESC An application on this computer asks to unlock your token for signing.%0AToken: Card 100%25%0AEnter "
      "the token's PIN.";
  const std::vector<std::string> first_prompt = {
      "START", "OPTION lc-messages=C", "OPTION lc-ctype=C", "SETTITLE p11agent: PIN", description, "SETPROMPT PIN:",
      "SETOK OK", "SETCANCEL Cancel", "SETTIMEOUT 120", "GETPIN", "OPTION lc-messages=C", "OPTION lc-ctype=C",
      "SETTITLE p11agent: PIN", description, "SETPROMPT PIN:", "SETOK OK", "SETCANCEL Cancel", "SETTIMEOUT 120",
      "SETERROR Wrong PIN. Try again.", "GETPIN"};
  ASSERT_GE(seen.size(), first_prompt.size());
  EXPECT_EQ(std::vector<std::string>(seen.begin(), seen.begin() + first_prompt.size()), first_prompt);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), "START"), 6);
  const auto long_description = std::ranges::find_if(seen, [](const std::string& line) {
    return line.starts_with("SETDESC") && line.find("Certificate: CN=\u041f\u0435\u0442\u0440\u0435\u043d\u043a\u043e") !=
                                              std::string::npos;
  });
  ASSERT_NE(long_description, seen.end());
  EXPECT_NE(long_description->find("Issued by: CN=%25%25%25"), std::string::npos) << *long_description;
  EXPECT_NE(long_description->find("%0AEnter the token's PIN."), std::string::npos) << *long_description;
  for (const std::string& line : seen) EXPECT_LT(line.size(), 1000u) << line;

  // The whole prompt in the user's language, the pinentry told the locale for its own
  // texts; the label as it is, and the answer the same in every language.
  struct Spoken {
    std::string language, lang;
    std::vector<std::string> lines;
  };
  const std::vector<Spoken> languages = {
      {"", "de_DE.UTF-8",
       {"OPTION lc-messages=de_DE.UTF-8", "OPTION lc-ctype=de_DE.UTF-8", "SETTITLE p11agent: PIN",
        "SETDESC Eine Anwendung auf diesem Computer m\u00f6chte mit Ihrem Zertifikat signieren.%0AToken: Card 100%25%0A"
        "Geben Sie die PIN des Tokens ein.",
        "SETPROMPT PIN:", "SETOK OK", "SETCANCEL Abbrechen"}},
      {"fr", "de_DE.UTF-8",
       {"OPTION lc-messages=de_DE.UTF-8", "OPTION lc-ctype=de_DE.UTF-8", "SETTITLE p11agent : code PIN",
        "SETDESC Une application de cet ordinateur demande \u00e0 signer avec votre certificat.%0AJeton : Card 100%25%0A"
        "Saisissez le code PIN du jeton.",
        "SETPROMPT Code PIN :", "SETOK OK", "SETCANCEL Annuler"}},
      {"", "C",
       {"OPTION lc-messages=C", "OPTION lc-ctype=C", "SETTITLE p11agent: PIN",
        "SETDESC An application on this computer asks to sign with your certificate.%0AToken: Card 100%25%0AEnter "
        "the token's PIN.",
        "SETPROMPT PIN:", "SETOK OK", "SETCANCEL Cancel"}},
  };
  for (const Spoken& spoken : languages) {
    set_environment("LANGUAGE", spoken.language);
    set_environment("LANG", spoken.lang);
    std::ofstream(answers) << "cancel\n";
    std::filesystem::remove(answers + ".next");
    std::filesystem::remove(log);
    EXPECT_EQ(run_agent(asking("sign")).out, error_response_text("PIN_PROMPT_CANCELLED: the PIN prompt was cancelled") + "\n");
    std::ifstream spoken_log(log);
    std::vector<std::string> said;
    for (std::string line; std::getline(spoken_log, line);)
      if (!line.starts_with("START") && !line.starts_with("SETTIMEOUT") && line != "GETPIN") said.push_back(line);
    EXPECT_EQ(said, spoken.lines) << spoken.language << " " << spoken.lang;
  }
  set_environment("LANGUAGE", "");
  set_environment("LANG", "C");
  std::ofstream(answers) << "cancel\n";
  std::filesystem::remove(answers + ".next");

  // A terminal pinentry is not started where there is no terminal.
  const std::string curses = folder + "/pinentry-curses";
  std::filesystem::copy_file(program, curses, std::filesystem::copy_options::overwrite_existing);
  set_environment("P11AGENT_PINENTRY", curses);
  std::filesystem::remove(log);
  EXPECT_EQ(run_agent(asking("sign")).out,
            error_response_text("PIN_PROMPT_UNAVAILABLE: " + curses + needs_terminal) + "\n");
  EXPECT_FALSE(std::filesystem::exists(log));
  // Where the agent has a terminal (here the one script(1) gives it), the pinentry is told it.
  const std::string request_file = folder + "/request";
  std::ofstream(request_file) << asking("sign");
  const RunResult on_terminal =
      run_program("/usr/bin/script", {"-qec", agent_path() + " < " + request_file, "/dev/null"}, "");
  EXPECT_NE(on_terminal.out.find("PIN_PROMPT_CANCELLED"), std::string::npos) << on_terminal.out;
  std::ifstream terminal_log(log);
  std::vector<std::string> told;
  for (std::string line; std::getline(terminal_log, line);) told.push_back(line);
  ASSERT_GE(told.size(), 3u);
  EXPECT_TRUE(told[1].starts_with("OPTION ttyname=/dev/pts/")) << told[1];
  EXPECT_TRUE(told[2].starts_with("OPTION ttytype=")) << told[2];

  // In the browser host a signature on the login held for the site is confirmed in the
  // same pinentry (CONFIRM, with Sign and Cancel) naming the site, the token and the page's
  // words; pinentry's cancel and timeout decline it.
  set_environment("P11AGENT_PINENTRY", program);
  const std::string picker = folder + "/picker";
  std::ofstream(picker) << "#!/bin/sh\ncat >/dev/null\necho 0\n";
  std::filesystem::permissions(picker, std::filesystem::perms::owner_all);
  set_environment("P11AGENT_CERT_PICKER", picker);
  set_environment("DISPLAY", ":99");
  std::ofstream(answers) << "pin 1%252\nok\ncancel\ntimeout\n";
  std::filesystem::remove(answers + ".next");
  std::filesystem::remove(log);
  // A certificate the picker can offer: one whose dates and key can be read.
  json offered = s;
  offered["slots"][0]["token"]["objects"] = json::array({certificate(SIGNING_P256_HEX, "01"), private_key("01", CKK_EC)});
  install_known_module(known[0], offered);
  const std::string offered_print = thumbprint_of(hex_bytes(SIGNING_P256_HEX)).value();
  {
    ChildProcess host(agent_path(), {"chrome-extension://knldjmfmopnpolahpmmgbagdohdnhkik/"});
    const std::string site = "https://shop.example";
    auto from_site = [&](json request) {
      request["origin"] = site;
      host.write(message(request.dump()));
      return host.read_message().value_or("<no answer>");
    };
    EXPECT_NE(from_site({{"cmd", "choose_cert"}}).find(R"("ok":true)"), std::string::npos);
    const json site_sign = {
        {"cmd", "sign"}, {"thumbprint", offered_print}, {"hash_hex", "0102"}, {"description", "Contract\n42"}};
    EXPECT_NE(from_site(site_sign).find(R"("ok":true)"), std::string::npos);  // the PIN prompt is its consent
    EXPECT_NE(from_site(site_sign).find(R"("ok":true)"), std::string::npos);  // confirmed
    EXPECT_EQ(from_site(site_sign), error_response_text("SIGNATURE_DECLINED: the user declined the signature"));
    EXPECT_EQ(from_site(site_sign),
              error_response_text("SIGNATURE_DECLINED: nobody confirmed the signature within 120 seconds"));
    host.close_stdin();
    EXPECT_EQ(host.wait(), 0);
  }
  std::ifstream confirm_log(log);
  std::vector<std::string> confirming;
  for (std::string line; std::getline(confirm_log, line);) confirming.push_back(line);
  const std::vector<std::string> confirmation = {
      "SETTITLE p11agent: signature",
      "SETDESC https://shop.example asks to sign with your certificate.%0AThe site describes this signature as: "
      "\"Contract<U+000A>42\"%0ACertificate: CN=Anna Signer%0AIssued by: CN=Example Signing CA, O=Example Trust%0A"
      "Token: Card 100%25%0AYour token is unlocked. Press Sign to make this signature, or Cancel.",
      "SETOK Sign", "SETCANCEL Cancel", "SETTIMEOUT 120", "CONFIRM"};
  const auto first_confirmation = std::ranges::find(confirming, "SETTITLE p11agent: signature");
  ASSERT_GE(confirming.end() - first_confirmation, static_cast<long>(confirmation.size()));
  EXPECT_EQ(std::vector<std::string>(first_confirmation, first_confirmation + confirmation.size()), confirmation);
  EXPECT_EQ(std::count(confirming.begin(), confirming.end(), "CONFIRM"), 3);
  EXPECT_EQ(std::count(confirming.begin(), confirming.end(), "GETPIN"), 1);
  // The signing calls reached the token for the two signatures the user consented to only.
  EXPECT_EQ(count_calls(fake_folder().call_log(name), "C_SignInit"), 2);
  install_known_module(known[0], s);

  set_environment("P11AGENT_PINENTRY", folder + "/none");
  RunResult missing = run_agent(asking("sign"));
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, error_response_text("PIN_PROMPT_UNAVAILABLE: no pinentry program found: install the "
                                             "pinentry-gnome3 package (or pinentry-gtk2, pinentry-qt) (" +
                                             folder + "/none)") + "\n");
  std::filesystem::remove_all(folder);
}
#endif

TEST_F(ServeTest, HelpAndVersionAnswerWithoutReadingTheInput) {
  for (const char* argument : {"--help", "--version"}) {
    ChildProcess agent(agent_path(), {argument});  // its standard input stays open
    std::string first = agent.read_line().value_or("<no answer>");
    EXPECT_EQ(first.rfind("p11agent 0.", 0), 0u) << argument << ": " << first;
    EXPECT_EQ(agent.wait(), 0) << argument;
  }
}

}  // namespace
}  // namespace p11agent
