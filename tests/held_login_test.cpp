// The daemon's request handling and session cache, in process, on the fake module.
#include <gtest/gtest.h>

#include <deque>
#include <variant>

#include "daemon/serve.h"
#include "desktop/cert_picker.h"
#include "desktop/ui_text.h"
#include "sign/cert_choice.h"
#include "sign/web_login.h"
#include "wire/response.h"
#include "support/agent.h"
#include "support/fake_token.h"
#include "support/threads.h"
#include "token/certificate.h"
#include "token/module_host.h"
#include "token/slot.h"
#include "trace/trace.h"

namespace p11agent {
namespace {

using namespace testing_support;

const std::string CERT_HEX = der_with_serial("0102");

class DaemonCacheTest : public ::testing::Test {
 protected:
  std::string path = fake_module_path();
  std::string name = file_name_of(path);
  std::string thumbprint;
  DaemonState state;

  void SetUp() override {
    thumbprint = thumbprint_of(hex_bytes(CERT_HEX)).value();
  }
  static json card(unsigned long slot_id = 1, const std::string& insertion = "1", const json& id = "01") {
    json t = token("Card", " SN 1 ", {certificate(CERT_HEX, id), private_key(id, CKK_EC)});
    t["insertion"] = insertion;
    return {{"slots", json::array({slot(slot_id, t)})}};
  }
  void start(const json& s) {
    fake_folder().write_scenario(name, s);
    auto module = open_module(path);
    ASSERT_TRUE(module) << module.error();
    state.module_table[path] = *module;
    state.candidate_paths = {path};
    fake_folder().clear_log(name);
  }
  void rescript(const json& s) { fake_folder().write_scenario(name, s); }
  TokenKey card_token(CK_SLOT_ID slot = 1) const { return {path, slot}; }
  std::string request(const std::string& line) { return handle_daemon_request(state, line); }
  std::string request_line(const json& request) { return handle_daemon_request(state, request.dump()); }
  std::string validate(const std::string& pin = "1234", std::string print = "") {
    return request(json{{"cmd", "validate"}, {"thumbprint", print.empty() ? thumbprint : print}, {"pin", pin}}.dump());
  }
  std::string sign(const std::string& pin = "1234") {
    return request(json{{"cmd", "sign"}, {"thumbprint", thumbprint}, {"pin", pin}, {"hash_hex", "00ff"}}.dump());
  }
  void still_loading_module_is_collected_once_loaded();
  std::vector<std::string> calls() {
    auto log = fake_folder().call_log(name);
    fake_folder().clear_log(name);
    std::vector<std::string> names;
    for (const auto& line : log) names.push_back(line.substr(0, line.find(' ')));
    return names;
  }
};

using Calls = std::vector<std::string>;
using namespace std::chrono_literals;

// A key that asks for the PIN for every signature: a cached signature logs in for itself
// each time; a PIN the token refuses there is answered as wrong, tried once, and the next
// request starts over on a new session.
TEST_F(DaemonCacheTest, AKeyThatAsksForThePinIsGivenItForEverySignatureOnce) {
  json s = card();
  s["slots"][0]["token"]["objects"][1]["always_authenticate"] = true;
  start(s);
  EXPECT_EQ(validate(), R"({"ok":true})");
  calls();
  for (int i = 0; i < 2; ++i) EXPECT_NE(sign().find(R"("ok":true)"), std::string::npos);
  EXPECT_EQ(calls(), (Calls{"C_SignInit", "C_Login", "C_Sign", "C_Sign", "C_SignInit", "C_Login", "C_Sign", "C_Sign"}));
  s["fail"] = json::array({failure("C_Login", CKR_PIN_INCORRECT, 1)});
  rescript(s);
  EXPECT_EQ(sign(), R"({"error":"WRONG_PIN:-1","ok":false})");
  EXPECT_EQ(calls(), (Calls{"C_SignInit", "C_Login", "C_GetSlotList", "C_GetSlotList", "C_GetTokenInfo", "C_CloseSession"}));
  EXPECT_NE(sign().find(R"("ok":true)"), std::string::npos);
}

// A loader stuck in a module's C_Initialize is the only one for that module: later loads
// neither start another thread for it nor wait for it, nor start one while its module
// waits to be collected; they collect the module once it has loaded, initialised once and
// never finalised from under the daemon. A module in a host of its own goes on loading
// past the deadline too, rather than being ended there and waited for again by every load.
TEST_F(DaemonCacheTest, AModuleStillLoadingIsNeitherStartedAgainNorWaitedFor) {
  for (bool hosted : {false, true}) {
    if (hosted) use_module_hosts(ModuleHosting{host_path(), 1s});
    still_loading_module_is_collected_once_loaded();
    use_module_hosts(std::nullopt);
  }
}

// In a host, a signature's length query brings the signature with it (one message fewer);
// the module sees exactly the calls, and the caller gets exactly the answers, that a module
// loaded in process sees and gives: when the signature follows, when the length is one the
// agent refuses, when the second call fails or is not the one announced.
TEST_F(DaemonCacheTest, ASignatureFromAHostTakesTheSameCallsAndAnswersAsInProcess) {
  struct Case {
    const char* name;
    json rules;
  };
  const std::vector<Case> cases = {
      {"signs", json::object()},
      {"a zero length", {{"sign_lengths", {0}}}},
      {"a length past the bound", {{"sign_lengths", {70000}}}},
      {"a longer second length", {{"sign_lengths", {64, 80}}}},
      {"a shorter second length", {{"sign_lengths", {64, 32}}}},
      {"the query fails", {{"fail", json::array({failure("C_Sign", CKR_DEVICE_ERROR, 1)})}}},
      {"the signature fails", {{"fail", json::array({failure("C_Sign", CKR_FUNCTION_FAILED, 2)})}}},
      {"the operation does not begin", {{"fail", json::array({failure("C_SignInit", CKR_KEY_HANDLE_INVALID)})}}},
      {"the query after a login for the key", {{"always_authenticate", true}}},
      // Named algorithms: their parameters cross to the host, and the answer is made alike.
      {"RSA-PSS", {{"key_type", CKK_RSA}, {"sign", {{"algorithm", "RSA-PSS"}, {"hash", "SHA-256"}}}}},
      {"RSA PKCS #1 with the agent's DigestInfo", {{"key_type", CKK_RSA}, {"sign", {{"hash", "SHA-256"}}}}},
      {"ECDSA in DER", {{"sign", {{"signature_format", "der"}}}}},
      {"a token without the mechanism",
       {{"sign", {{"algorithm", "ECDSA"}}}, {"mechanisms", json::array({{{"type", CKM_RSA_PKCS}}})}}},
  };
  const std::string validate = json{{"cmd", "validate"}, {"thumbprint", thumbprint}, {"pin", "1234"}}.dump();
  for (const Case& c : cases) {
    json sign_request = {{"cmd", "sign"}, {"thumbprint", thumbprint}, {"pin", "1234"}, {"hash_hex", std::string(64, 'c')}};
    sign_request.update(c.rules.value("sign", json::object()));
    const std::string sign = sign_request.dump();
    std::vector<std::pair<std::string, Calls>> seen;
    for (const bool hosted : {false, true}) {
      if (hosted) use_module_hosts(ModuleHosting{host_path(), 1s});
      json s = card();
      s["slots"][0]["token"]["objects"][1]["always_authenticate"] = c.rules.value("always_authenticate", false);
      s["slots"][0]["token"]["objects"][1]["key_type"] = c.rules.value("key_type", CKK_EC);
      if (c.rules.contains("mechanisms")) s["slots"][0]["token"]["mechanisms"] = c.rules["mechanisms"];
      for (const char* rule : {"sign_lengths", "fail"})
        if (c.rules.contains(rule)) s[rule] = c.rules[rule];
      rescript(s);
      {
        DaemonState daemon;
        daemon.module_table[path] = open_module(path).value();
        daemon.candidate_paths = {path};
        ASSERT_EQ(handle_daemon_request(daemon, validate), R"({"ok":true})") << c.name;
        calls();
        const std::string answer = handle_daemon_request(daemon, sign);
        seen.emplace_back(answer, calls());
      }
      use_module_hosts(std::nullopt);
    }
    EXPECT_EQ(seen[0], seen[1]) << c.name;
    // A named signature is made (a token without the mechanism refuses it with no call).
    if (c.rules.contains("sign")) {
      EXPECT_EQ(seen[0].first.find(R"("ok":true)") != std::string::npos, !c.rules.contains("mechanisms")) << seen[0].first;
    }
  }
}

void DaemonCacheTest::still_loading_module_is_collected_once_loaded() {
  SCOPED_TRACE(module_hosting() != nullptr ? "in a host" : "in process");
  json s = card();
  s["delay_ms"] = {{"C_Initialize", 1500}};
  rescript(s);
  fake_folder().clear_log(name);
  ModuleLoader loader;
  const long threads = thread_count();
  EXPECT_TRUE(loader.load({path}, 100ms).empty());
  EXPECT_EQ(thread_count(), threads + 1);
  // Had these waited, for the stuck loader or a new one, its thread would have ended.
  for (int request = 0; request < 4; ++request) EXPECT_TRUE(loader.load({path}, 60s).empty());
  EXPECT_EQ(thread_count(), threads + 1);
  ModuleTable loaded;
  for (int poll = 0; poll < 200 && loaded.empty(); ++poll) {
    std::this_thread::sleep_for(50ms);
    loaded = loader.load({path}, 60s);
  }
  ASSERT_EQ(loaded.size(), 1u);
  EXPECT_TRUE(slots_with_token(*loaded.at(path)));
  EXPECT_EQ(calls_named(fake_folder().call_log(name), {"C_Initialize", "C_Finalize"}), Calls{"C_Initialize"});
}

// A device that lost its state under the module (every call fails until the module starts
// afresh): the module is started afresh once within the request, which then succeeds with
// one login. A failure that a fresh start does not mend costs one answer and one restart.
TEST_F(DaemonCacheTest, AModuleThatLostItsStateIsStartedAfreshOnceWithinTheRequest) {
  start(card());
  ASSERT_EQ(validate(), R"({"ok":true})");
  json s = card();
  s["wedge_rv"] = CKR_DEVICE_ERROR;
  rescript(s);
  calls();
  EXPECT_NE(sign().find(R"("ok":true)"), std::string::npos);
  auto log = calls();
  EXPECT_EQ(std::count(log.begin(), log.end(), "C_Finalize"), 1);
  EXPECT_EQ(std::count(log.begin(), log.end(), "C_Initialize"), 1);
  EXPECT_EQ(std::count(log.begin(), log.end(), "C_Login"), 1);
}

// A device-level answer to C_Login is answered as it is: the PIN is not sent again within
// the request (a card that counts tries would count two). When a call that takes no PIN
// fails so too, the module lost its state and starts afresh before the next request.
TEST_F(DaemonCacheTest, AFailedLoginSendsThePinOnceAndALostModuleStartsAfreshAfterIt) {
  start(card());
  const std::string failed_login =
      error_response_text("C_Login: Function::Login: PKCS11 error: " + describe_rv(CKR_DEVICE_ERROR));
  struct Case {
    const char* name;
    json failures;
    int fresh_starts;  // before the next request
  };
  const std::vector<Case> cases = {
      {"the login alone fails", json::array({failure("C_Login", CKR_DEVICE_ERROR)}), 0},
      {"the token fails too", json::array({failure("C_Login", CKR_DEVICE_ERROR), failure("C_GetTokenInfo", CKR_DEVICE_ERROR)}), 1},
  };
  for (const Case& c : cases) {
    json s = card();
    s["fail"] = c.failures;
    rescript(s);
    calls();
    EXPECT_EQ(validate(), failed_login) << c.name;
    auto log = calls();
    EXPECT_EQ(count_calls(log, "C_Login"), 1) << c.name;
    EXPECT_EQ(count_calls(log, "C_Initialize"), 0) << c.name;
    rescript(card());
    EXPECT_EQ(validate(), R"({"ok":true})") << c.name;
    log = calls();
    EXPECT_EQ(count_calls(log, "C_Initialize"), c.fresh_starts) << c.name;
    EXPECT_EQ(count_calls(log, "C_Login"), 1) << c.name;
    EXPECT_EQ(request(R"({"cmd":"logout"})"), R"({"closed":1,"ok":true})");
  }
}

TEST_F(DaemonCacheTest, AnswersPingAndUnknownCommandsWithoutTouchingTokens) {
  start(card());
  EXPECT_EQ(request(R"({"cmd":"ping","module":"ignored"})"), R"({"modules":1,"ok":true})");
  for (const char* line : {R"({"cmd":"PING"})", R"({"cmd":"enumerate"})", R"({"cmd":""})"})
    EXPECT_EQ(request(line), R"({"error":"daemon supports cmd=sign, validate, logout, find_cert, list_certs or ping","ok":false})");
  EXPECT_EQ(request("{"), R"({"error":"invalid JSON request: EOF while parsing an object at line 1 column 1","ok":false})");
  EXPECT_TRUE(calls().empty());
}

TEST_F(DaemonCacheTest, ListsAndFindsWithItsOwnAnswerShapes) {
  start(card());
  // The path is written as a JSON string: its backslashes (Windows) come out escaped.
  const std::string module = json(path).dump();
  EXPECT_EQ(request(R"({"cmd":"list_certs"})"),
            R"({"certs":[{"module":)" + module + R"(,"thumbprint":")" + thumbprint + R"(","token_serial":"SN 1"}],"ok":true})");
  std::string upper = thumbprint;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(request(json{{"cmd", "find_cert"}, {"thumbprint", upper}}.dump()),
            R"({"cert_serial":"0102","module":)" + module + R"(,"ok":true,"slot":1,"token_serial":"SN 1"})");
  EXPECT_EQ(request(R"({"cmd":"find_cert","thumbprint":"aa:bb"})"),
            R"({"error":"certificate not found on any connected token","ok":false})");
  EXPECT_EQ(request(R"({"cmd":"find_cert"})"), R"({"error":"find_cert requires thumbprint","ok":false})");
  EXPECT_EQ(count_calls(fake_folder().call_log(name), "C_Login"), 0);
}

TEST_F(DaemonCacheTest, ChecksThePinOnceAndThenSignsWithOnlyTheSigningCalls) {
  start(card());
  EXPECT_EQ(validate(), R"({"ok":true})");
  EXPECT_EQ(count_calls(fake_folder().call_log(name), "C_Login"), 1);
  calls();
  // Cached only after the module says the token is still there and logged in on the held
  // session (the slot list is what makes smart-card middleware notice a pulled card).
  EXPECT_EQ(validate(), R"({"cached":true,"ok":true})");
  EXPECT_EQ(calls(), (Calls{"C_GetSlotList", "C_GetSlotList", "C_GetSessionInfo"}));
  for (int i = 0; i < 100; ++i) {
    std::string answer = sign();
    ASSERT_NE(answer.find(R"("ok":true,"signature_hex":"00ff)"), std::string::npos) << answer;
    ASSERT_EQ(calls(), (Calls{"C_SignInit", "C_Sign", "C_Sign"}));
  }
}

TEST_F(DaemonCacheTest, AChangedPinClosesTheModuleSessionBeforeLoggingInAnew) {
  start(card());
  ASSERT_EQ(validate(), R"({"ok":true})");
  calls();
  EXPECT_EQ(sign("9999"), R"({"error":"WRONG_PIN:-1","ok":false})");
  auto log = calls();
  // The old session is closed without a logout, then the new PIN is tried once.
  EXPECT_EQ(log.front(), "C_CloseSession");
  EXPECT_EQ(std::count(log.begin(), log.end(), "C_Logout"), 0);
  EXPECT_EQ(std::count(log.begin(), log.end(), "C_Login"), 1);
  EXPECT_FALSE(state.token_logins.contains(card_token()) && state.token_logins.at(card_token()).pin_digest);
  EXPECT_TRUE(state.cached_logins.empty());
}

// A token that refused a PIN has logged its user out: the earlier PIN is no longer cached,
// and is checked by the token again. A card pulled and put back with no request in between
// keeps no login either, though the agent holds its session.
TEST_F(DaemonCacheTest, ValidateSaysCachedOnlyWhileTheTokenIsLoggedIn) {
  start(card());
  ASSERT_EQ(validate(), R"({"ok":true})");
  EXPECT_EQ(validate("0000"), R"({"error":"WRONG_PIN:-1","ok":false})");
  EXPECT_FALSE(state.token_logins.contains(card_token()));
  calls();
  EXPECT_EQ(validate(), R"({"ok":true})");
  EXPECT_EQ(count_calls(calls(), "C_Login"), 1);
  rescript(card(1, "2"));
  EXPECT_EQ(validate(), R"({"ok":true})");
  EXPECT_EQ(count_calls(calls(), "C_Login"), 1);
  EXPECT_EQ(validate(), R"({"cached":true,"ok":true})");
}

TEST_F(DaemonCacheTest, APinTheTokenNeverAcceptedIsNeverCachedOrUsed) {
  start(card());
  ASSERT_EQ(validate(), R"({"ok":true})");
  // The token keeps answering "already logged in", and the logout between fails.
  json s = card();
  s["fail"] = json::array({failure("C_Logout", CKR_DEVICE_ERROR), failure("C_Login", CKR_USER_ALREADY_LOGGED_IN)});
  rescript(s);
  const std::string still_logged_in =
      error_response_text("C_Login: Function::Login: PKCS11 error: " + describe_rv(CKR_USER_ALREADY_LOGGED_IN));
  EXPECT_EQ(validate("0000"), still_logged_in);
  EXPECT_EQ(state.token_logins.at(card_token()).pin_digest, pin_digest("1234").value());
  EXPECT_EQ(validate(), R"({"cached":true,"ok":true})");
  EXPECT_EQ(sign("0000"), still_logged_in);
  EXPECT_EQ(count_calls(fake_folder().call_log(name), "C_Sign"), 0);
  EXPECT_TRUE(state.cached_logins.empty());
}

TEST_F(DaemonCacheTest, ATokenPutBackInTheSameSlotGetsANewSessionForValidateAndSign) {
  start(card());
  ASSERT_EQ(validate(), R"({"ok":true})");
  rescript(card(1, "2"));  // pulled and put back: the module no longer knows the held session
  EXPECT_EQ(validate("0000"), R"({"error":"WRONG_PIN:-1","ok":false})");
  EXPECT_EQ(validate(), R"({"ok":true})");
  EXPECT_NE(sign().find(R"("ok":true)"), std::string::npos);
  rescript(card(1, "3"));
  calls();
  EXPECT_EQ(validate("5678"), R"({"error":"WRONG_PIN:-1","ok":false})");
  auto log = calls();
  // The login on the lost session, then one on a new session.
  EXPECT_EQ(std::count(log.begin(), log.end(), "C_Login"), 2);
  EXPECT_EQ(std::count(log.begin(), log.end(), "C_Logout"), 0);
}

TEST_F(DaemonCacheTest, ATokenPutBackMakesTheFirstAttemptFailAndTheSecondSucceed) {
  start(card());
  ASSERT_EQ(validate(), R"({"ok":true})");
  rescript(card(1, "2"));  // pulled and put back: the held session is gone
  calls();
  std::string answer = sign();
  EXPECT_NE(answer.find(R"("ok":true)"), std::string::npos) << answer;
  auto log = calls();
  EXPECT_EQ(std::count(log.begin(), log.end(), "C_Login"), 1);
  EXPECT_EQ(std::count(log.begin(), log.end(), "C_OpenSession"), 2);  // the search's, then the new held one
}

TEST_F(DaemonCacheTest, TwoSigningFailuresAnswerTheSecondFailure) {
  start(card());
  ASSERT_EQ(validate(), R"({"ok":true})");
  json s = card();
  s["fail"] = json::array({failure("C_SignInit", CKR_DEVICE_REMOVED, 1), failure("C_SignInit", CKR_KEY_HANDLE_INVALID, 2)});
  rescript(s);
  EXPECT_EQ(sign(), error_response_text("C_Sign: Function::SignInit: PKCS11 error: " + describe_rv(CKR_KEY_HANDLE_INVALID)));
}

// A signature that fails drops the held session: another certificate of the same token is
// then no longer "cached", and its validate logs in anew.
TEST_F(DaemonCacheTest, ValidateSaysCachedOnlyWhileTheSessionIsHeld) {
  const std::string other_cert = der_with_serial("0304");
  json s = card();
  s["slots"][0]["token"]["objects"].push_back(certificate(other_cert, "02"));
  s["slots"][0]["token"]["objects"].push_back(private_key("02", CKK_EC));
  start(s);
  const std::string other = thumbprint_of(hex_bytes(other_cert)).value();
  ASSERT_EQ(validate(), R"({"ok":true})");
  ASSERT_EQ(validate("1234", other), R"({"ok":true})");
  s["fail"] = json::array({failure("C_SignInit", CKR_KEY_HANDLE_INVALID)});
  rescript(s);
  EXPECT_EQ(sign(), error_response_text("C_Sign: Function::SignInit: PKCS11 error: " + describe_rv(CKR_KEY_HANDLE_INVALID)));
  calls();
  EXPECT_EQ(validate("1234", other), R"({"ok":true})");
  EXPECT_EQ(count_calls(calls(), "C_Login"), 1);
}

// A key search cut short on the held session costs that request only: the module allows
// one search at a time on a session, and the next request works.
TEST_F(DaemonCacheTest, AKeySearchCutShortOnTheHeldSessionCostsOneRequest) {
  json s = card();
  s["fail"] = json::array({failure("C_FindObjects", CKR_FUNCTION_CANCELED, 3)});  // the key search's first
  start(s);
  EXPECT_EQ(validate(), error_response_text("find key: Function::FindObjects: PKCS11 error: " +
                                            describe_rv(CKR_FUNCTION_CANCELED)));
  EXPECT_EQ(validate(), R"({"ok":true})");
  EXPECT_NE(sign().find(R"("ok":true)"), std::string::npos);
}

TEST_F(DaemonCacheTest, AWriteProtectedTokenSignsOnAReadOnlySession) {
  json s = card();
  s["slots"][0]["token"]["write_protected"] = true;
  start(s);
  EXPECT_EQ(validate(), R"({"ok":true})");
  EXPECT_NE(sign().find(R"("ok":true,"signature_hex":"00ff)"), std::string::npos);
}

TEST_F(DaemonCacheTest, AnEmptySignatureIsAnErrorAndTheNextSignatureIsMade) {
  start(card());
  ASSERT_EQ(validate(), R"({"ok":true})");
  json s = card();
  s["sign_lengths"] = {0};
  rescript(s);
  EXPECT_EQ(sign(), error_response_text("C_Sign: Function::Sign: PKCS11 error: " + describe_rv(CKR_GENERAL_ERROR)));
  rescript(card());
  EXPECT_NE(sign().find(R"("ok":true,"signature_hex":"00ff)"), std::string::npos);
}

TEST_F(DaemonCacheTest, ATokenMovedToAnotherSlotGetsANewSessionThere) {
  start(card(1));
  ASSERT_EQ(validate(), R"({"ok":true})");
  state.cached_logins.clear();  // a later validate must search again
  rescript(card(5, "2"));
  calls();
  EXPECT_EQ(validate(), R"({"ok":true})");
  // A login of its own on slot 5; what was held for slot 1 is another token's.
  EXPECT_EQ(count_calls(calls(), "C_Login"), 1);
  EXPECT_TRUE(state.token_logins.at(card_token(5)).session);
}

// Each token of a module holds its own login: two tokens stay logged in side by side, a
// wrong PIN on one leaves the other's login alone, and a logout by thumbprint ends only
// the login of that certificate's token.
TEST_F(DaemonCacheTest, EachTokenOfAModuleHoldsItsOwnLogin) {
  const std::string other_cert = der_with_serial("0506");
  const std::string other = thumbprint_of(hex_bytes(other_cert)).value();
  json s = card(1);
  json second = token("Other", "SN 2", {certificate(other_cert, "02"), private_key("02", CKK_EC)});
  second["pin"] = "5678";
  s["slots"].push_back(slot(5, second));
  start(s);
  ASSERT_EQ(validate(), R"({"ok":true})");
  ASSERT_EQ(validate("5678", other), R"({"ok":true})");
  EXPECT_EQ(validate(), R"({"cached":true,"ok":true})");
  EXPECT_EQ(validate("0000", other), R"({"error":"WRONG_PIN:-1","ok":false})");
  EXPECT_EQ(validate(), R"({"cached":true,"ok":true})");
  EXPECT_NE(sign().find(R"("ok":true)"), std::string::npos);
  // The wrong PIN ended the other token's login, and only that one.
  EXPECT_EQ(request(json{{"cmd", "logout"}, {"thumbprint", other}}.dump()), R"({"closed":0,"ok":true})");
  EXPECT_EQ(validate(), R"({"cached":true,"ok":true})");
  EXPECT_EQ(request(R"({"cmd":"logout"})"), R"({"closed":1,"ok":true})");
}

TEST_F(DaemonCacheTest, LogoutCountsTargetsAndForgetsTheLogin) {
  start(card());
  EXPECT_EQ(request(R"({"cmd":"logout"})"), R"({"closed":0,"ok":true})");
  ASSERT_EQ(validate(), R"({"ok":true})");
  EXPECT_EQ(request(R"({"cmd":"logout","thumbprint":"00"})"), R"({"closed":0,"ok":true})");
  EXPECT_EQ(request(json{{"cmd", "logout"}, {"thumbprint", thumbprint}}.dump()), R"({"closed":1,"ok":true})");
  EXPECT_EQ(validate(), R"({"ok":true})");  // not from the cache
  EXPECT_EQ(request(R"({"cmd":"logout"})"), R"({"closed":1,"ok":true})");
}

// In a browser, a site's logout ends its own logins only and counts only those: a login two
// sites made with the same PIN stays held for the other, and C_Logout comes when the last
// site that holds it logs out.
TEST_F(DaemonCacheTest, InABrowserEachSiteEndsOnlyItsOwnLogins) {
  start(card());
  state.browser = true;
  const std::string A = "https://shop.example", B = "https://other.example";
  auto from = [&](const std::string& origin, json request) {
    request["origin"] = origin;
    return this->request(request.dump());
  };
  const json validate = {{"cmd", "validate"}, {"thumbprint", thumbprint}, {"pin", "1234"}};
  const json logout_all = {{"cmd", "logout"}};
  const json logout_this = {{"cmd", "logout"}, {"thumbprint", thumbprint}};
  // site, request, answer, whether the token is logged out
  const std::vector<std::tuple<std::string, json, std::string, bool>> steps = {
      {A, validate, R"({"ok":true})", false},
      {B, validate, R"({"cached":true,"ok":true})", false},
      {B, logout_all, R"({"closed":1,"ok":true})", false},
      {B, logout_all, R"({"closed":0,"ok":true})", false},
      {B, logout_this, R"({"closed":0,"ok":true})", false},
      {A, validate, R"({"cached":true,"ok":true})", false},
      {A, logout_this, R"({"closed":1,"ok":true})", true},
      {A, logout_all, R"({"closed":0,"ok":true})", false},
  };
  for (const auto& [site, step, answer, logs_out] : steps) {
    calls();
    EXPECT_EQ(from(site, step), answer) << site << " " << step.dump();
    const Calls made = calls();
    EXPECT_EQ(std::ranges::find(made, "C_Logout") != made.end(), logs_out) << site << " " << step.dump();
  }
}

// Sends each request to the daemon and checks its answer: the one expected, or (ANY_OK) any
// with "ok":true. `after` runs after each answer.
const std::string ANY_OK = "ok";
void expect_answers(DaemonState& daemon, const std::vector<json>& requests, const std::vector<std::string>& expected,
                    const std::function<void()>& after = {}) {
  ASSERT_EQ(requests.size(), expected.size());
  for (std::size_t i = 0; i < requests.size(); ++i) {
    const std::string answer = handle_daemon_request(daemon, requests[i].dump());
    if (after) after();
    if (expected[i] == ANY_OK)
      EXPECT_NE(answer.find(R"("ok":true)"), std::string::npos) << answer;
    else
      EXPECT_EQ(answer, expected[i]);
  }
}

// The prompt, driven as the user would: each answer is a PIN typed, or the way the prompt
// ended without one, or PULLED: the token is pulled while the prompt waits, which the
// prompt's check then sees, or SWAPPED: another card is put in its slot in its stead.
// A confirmation's answer is SIGN (the user pressed Sign), a way it ended, or PULLED.
const std::string PULLED = "<the token is pulled>";
const std::string SWAPPED = "<another card is put in its slot>";
const std::string SIGN = "<Sign is pressed>";
struct PromptScript {
  std::deque<std::variant<std::string, platform::PromptStop>> answers;
  std::vector<platform::PinScreen> screens;
  std::function<void()> pull = {};
  std::vector<platform::PinScreen> confirmations = {};
  std::function<void()> swap = {};
};

class ScriptedDialog final : public platform::PinDialog {
 public:
  explicit ScriptedDialog(PromptScript& script) : script_(script) {}
  std::expected<platform::WipedString, platform::PromptStop> ask_pin(const platform::PinScreen& screen) override {
    script_.screens.push_back(screen);
    auto answer = next_answer();
    if (!answer) return std::unexpected(answer.error());
    return platform::WipedString(*answer);
  }
  std::expected<void, platform::PromptStop> confirm(const platform::PinScreen& screen) override {
    script_.confirmations.push_back(screen);
    auto answer = next_answer();
    if (!answer) return std::unexpected(answer.error());
    if (*answer != SIGN) return std::unexpected(platform::PromptStop{platform::PromptEnd::Failed, "not a confirmation"});
    return {};
  }
  std::expected<bool, platform::PromptStop> show_during(const platform::PinScreen& screen,
                                                        const std::function<void()>& work) override {
    script_.screens.push_back(screen);
    work();
    return false;
  }

 private:
  // The next answer typed, or how the prompt ended; a pulled token ends it if the prompt
  // asks whether it is still wanted.
  std::expected<std::string, platform::PromptStop> next_answer() {
    if (script_.answers.empty()) return std::unexpected(platform::PromptStop{platform::PromptEnd::Failed, "unscripted"});
    auto answer = std::move(script_.answers.front());
    script_.answers.pop_front();
    if (auto* stop = std::get_if<platform::PromptStop>(&answer)) return std::unexpected(*stop);
    if (const std::string& said = std::get<std::string>(answer); said == PULLED || said == SWAPPED) {
      said == PULLED ? script_.pull() : script_.swap();
      if (still_wanted()) return std::unexpected(platform::PromptStop{platform::PromptEnd::Failed, "still open"});
      return std::unexpected(platform::PromptStop{platform::PromptEnd::Withdrawn, ""});
    }
    return std::get<std::string>(answer);
  }

  PromptScript& script_;
};

// A request without a PIN from a browser (or from an application that asks for the prompt)
// logs in with what the user enters: asked again after a wrong PIN on the same screen, the
// PIN sent to the token once per entry, a locked token not asked, a keypad used where the
// token has one, and the login held for the site that made it.
TEST_F(DaemonCacheTest, ThePromptAsksUntilTheTokenTakesAPinAndSaysWhoAsks) {
  using platform::PromptEnd;
  using platform::PromptStop;
  const std::string A = "https://shop.example", B = "https://other.example";
  const std::string print = thumbprint_of(hex_bytes(NAMED_CERT_HEX)).value();
  auto validate_from = [&](const std::string& origin) {
    return json{{"cmd", "validate"}, {"thumbprint", print}, {"origin", origin}};
  };
  auto sign_from = [&](const std::string& origin) {
    return json{{"cmd", "sign"}, {"thumbprint", print}, {"hash_hex", "00ff"}, {"origin", origin}};
  };
  json app_sign = sign_from(A);
  app_sign.erase("origin");
  json asking_app_sign = app_sign;
  asking_app_sign["pin_prompt"] = true;
  json page_pin = sign_from(A);
  page_pin["pin"] = "1234";
  json second_cert = sign_from(A);
  second_cert["thumbprint"] = thumbprint;  // CERT_HEX, the token's other certificate
  const std::string& OK = ANY_OK;
  struct Case {
    const char* name;
    CK_FLAGS flags;
    bool browser;
    bool required;
    std::vector<json> requests;
    std::deque<std::variant<std::string, PromptStop>> answers;
    std::vector<std::string> expected;
    std::size_t screens;
    long logins;
    std::vector<std::string> first_shows;  // in the first screen's description
    std::string last_error;                // the last screen's error
    bool hosted = false;                   // the module in a host whose calls may take 1 s
    json rules = json::object();
    bool asks_each_time = false;           // the key asks for the PIN for every signature
    std::string every_shows = "";          // in every screen's description
    bool untouched = false;                // refused before any call of the module
  };
  json broken_origin = validate_from("https://portal.example\nSigning for: https://bank.example");
  // In each language the prompt's own texts are the catalog's and the names, the label and
  // the site are as in English; every answer is the same.
  using platform::ui_text;
  std::vector<std::string> languages = {"en"};
  languages.insert(languages.end(), platform::shipped_languages().begin(), platform::shipped_languages().end());
  for (const std::string& language : languages) {
    platform::use_ui_languages(std::vector{language});
    SCOPED_TRACE(language);
    const std::string NAMED = ui_text("Certificate: {name}", {{"name", "CN=Anna M\u00fcller"}});
    const std::vector<Case> cases = {
        {"a wrong PIN, then the right one", 0, true, false, {validate_from(A)}, {"0000", "1234"}, {R"({"ok":true})"}, 2, 2,
         {ui_text("{site} asks to unlock your token for signing.", {{"site", A}}) + "\n",
          ui_text("Certificate: {name}", {{"name", "CN=Anna M\u00fcller, O=M\u00fcller & S\u00f6hne\\, GmbH"}}) + "\n",
          ui_text("Issued by: {name}", {{"name", "CN=Example Signing CA, O=Example Trust, C=DE"}}) + "\n",
          ui_text("Token: {label}", {{"label", "Card"}}) + "\n", ui_text("Enter the token's PIN.")},
         ui_text("Wrong PIN. Try again.")},
        {"cancelled", 0, true, false, {sign_from(A)}, {PromptStop{PromptEnd::Cancelled, ""}},
         {error_response_text(PIN_PROMPT_CANCELLED)}, 1, 0, {ui_text("{site} asks to sign with your certificate.", {{"site", A}})}, ""},
        {"unanswered", 0, true, false, {sign_from(A)}, {PromptStop{PromptEnd::TimedOut, ""}},
         {error_response_text(PIN_PROMPT_TIMEOUT)}, 1, 0, {}, ""},
        {"no prompt here", 0, true, false, {sign_from(A)}, {PromptStop{PromptEnd::Unavailable, "install it"}},
         {error_response_text("PIN_PROMPT_UNAVAILABLE: install it")}, 1, 0, {}, ""},
        {"an application is asked only when it says so", 0, false, false, {app_sign, asking_app_sign}, {"1234"},
         {error_response_text("sign requires thumbprint, hash_hex and pin"), OK}, 1, 1,
         {ui_text("An application on this computer asks to sign with your certificate.")}, ""},
        {"the final try", CKF_USER_PIN_FINAL_TRY, true, false, {validate_from(A)},
         {"0000", PromptStop{PromptEnd::Cancelled, ""}}, {error_response_text(PIN_PROMPT_CANCELLED)}, 2, 1,
         {ui_text("This is the final try: a wrong PIN locks the token.") + "\n"},
         ui_text("Wrong PIN. This is the final try: another wrong PIN locks the token.")},
        {"a locked token is not asked", CKF_USER_PIN_LOCKED, true, false, {sign_from(A)}, {},
         {error_response_text("WRONG_PIN:0")}, 0, 0, {}, ""},
        {"a reader's keypad", CKF_PROTECTED_AUTHENTICATION_PATH, true, false,
         {validate_from(A), sign_from(A), validate_from(A)}, {}, {R"({"ok":true})", OK, R"({"cached":true,"ok":true})"}, 1,
         1, {ui_text("Enter the PIN on the reader's keypad.")}, ""},
        {"a reader's keypad, given longer than a call", CKF_PROTECTED_AUTHENTICATION_PATH, true, false,
         {validate_from(A)}, {}, {R"({"ok":true})"}, 1, 1, {}, "", true, {{"delay_ms", {{"C_Login", 1500}}}}},
        {"the token's other certificate is not asked for again", 0, true, false, {validate_from(A), second_cert},
         {"1234"}, {R"({"ok":true})", OK}, 1, 1, {}, ""},
        {"a key that asks each time is given the PIN entered for the login, else asked once, naming the certificate",
         0, true, false, {sign_from(A), sign_from(A)}, {"1234", "1234"}, {OK, OK}, 2, 3, {}, "", false,
         json::object(), true, NAMED},
        {"a key that asks each time on a reader's keypad names the certificate while the reader waits",
         CKF_PROTECTED_AUTHENTICATION_PATH, true, false, {sign_from(A), sign_from(A)}, {}, {OK, OK}, 3, 3, {}, "",
         false, json::object(), true, NAMED},
        {"an empty PIN is not sent: asked again", 0, true, false, {validate_from(A)}, {"", "1234"},
         {R"({"ok":true})"}, 2, 1, {}, ui_text("No PIN was entered. Enter the token's PIN.")},
        {"a PIN of a length the token does not take: asked again", 0, true, false, {validate_from(A)},
         {"12", "1234"}, {R"({"ok":true})"}, 2, 2, {}, ui_text("The token does not take a PIN of this length. Try again."),
         false, {{"fail", json::array({failure("C_Login", CKR_PIN_LEN_RANGE, 1)})}}},
        {"a PIN the token calls invalid: asked again, then cancelled", 0, true, false, {validate_from(A)},
         {"1\u00e9", PromptStop{PromptEnd::Cancelled, ""}}, {error_response_text(PIN_PROMPT_CANCELLED)}, 2, 1, {},
         ui_text("The PIN has characters the token does not take. Try again."), false,
         {{"fail", json::array({failure("C_Login", CKR_PIN_INVALID, 1)})}}},
        {"an origin that is not a web origin is refused before anything", 0, true, false, {broken_origin}, {},
         {error_response_text("origin must be a web origin, scheme://host[:port], with https, http for a loopback "
                              "host, or a browser extension's scheme")},
         0, 0, {}, "", false, json::object(), false, "", true},
        {"held for the site that made it", 0, true, false, {validate_from(A), sign_from(A), sign_from(B)},
         {"1234", "1234"}, {R"({"ok":true})", OK, OK}, 2, 2, {}, ""},
        {"a PIN from the page is taken as before", 0, true, false, {page_pin}, {}, {OK}, 0, 1, {}, ""},
        {"the deployer refuses a PIN from the page", 0, true, true, {page_pin}, {},
         {error_response_text(PIN_PROMPT_REQUIRED)}, 0, 0, {}, ""},
        {"a token pulled while its prompt waits closes the prompt", 0, true, false, {validate_from(A)}, {PULLED},
         {error_response_text(TOKEN_REMOVED)}, 1, 0, {}, ""},
        {"another card put in at once in its stead closes the prompt too", 0, true, false, {validate_from(A)}, {SWAPPED},
         {error_response_text(TOKEN_REMOVED)}, 1, 0, {}, ""},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      json t = token("Card", " SN 1 ",
                     {certificate(NAMED_CERT_HEX), private_key("01", CKK_EC), certificate(CERT_HEX, "02"),
                      private_key("02", CKK_EC)},
                     c.flags);
      t["objects"][1]["always_authenticate"] = c.asks_each_time;
      json scenario = {{"slots", json::array({slot(1, t)})}};
      scenario.update(c.rules);
      fake_folder().write_scenario(name, scenario);
      PromptScript script{c.answers, {}, [&] { fake_folder().write_scenario(name, {{"slots", json::array({empty_slot(1)})}}); }};
      script.swap = [&] {
        fake_folder().write_scenario(name, {{"slots", json::array({slot(1, token("Other card", "SN 9", {}))})}});
      };
      if (c.hosted) use_module_hosts(ModuleHosting{host_path(), 1s});
      DaemonState daemon;
      daemon.module_table[path] = open_module(path).value();
      daemon.candidate_paths = {path};
      daemon.browser = c.browser;
      daemon.pin_prompt_required = c.required;
      daemon.open_pin_dialog = [&] { return std::make_unique<ScriptedDialog>(script); };
      fake_folder().clear_log(name);
      expect_answers(daemon, c.requests, c.expected);
      const auto log = fake_folder().call_log(name);
      release_state(daemon);
      use_module_hosts(std::nullopt);
      EXPECT_EQ(count_calls(log, "C_Login"), c.logins);
      // Which token the prompt is for (fixed as it opens) and what it shows are read with
      // one C_GetTokenInfo each before the first login.
      const auto first_login = std::ranges::find_if(log, [](const std::string& line) { return line.starts_with("C_Login "); });
      if (!script.screens.empty() && first_login != log.end()) {
        EXPECT_EQ(std::count_if(log.begin(), first_login, [](const std::string& line) { return line.starts_with("C_GetTokenInfo"); }), 2);
      }
      const bool keypad = (c.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0;
      for (const std::string& line : log) {
        if (line.starts_with("C_Login ")) {
          EXPECT_EQ(line.find(" no_pin") != std::string::npos, keypad) << line;
        }
      }
      if (c.required || c.untouched) {
        EXPECT_TRUE(log.empty());
      }
      EXPECT_EQ(script.screens.size(), c.screens);
      if (script.screens.empty()) continue;
      EXPECT_EQ(script.screens.front().on_reader, (c.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0);
      for (const std::string& shown : c.first_shows)
        EXPECT_NE(script.screens.front().description.find(shown), std::string::npos) << script.screens.front().description;
      EXPECT_EQ(script.screens.back().error, c.last_error);
      for (const platform::PinScreen& screen : script.screens)
        EXPECT_NE(screen.description.find(c.every_shows), std::string::npos) << screen.description;
    }
  }
  platform::use_ui_languages(std::vector<std::string>{"en"});
}

// A run of requests under a consent setting: what the user answers in the dialogs, the
// answers, how many PIN screens and confirmations were shown, and what reached the token.
struct ConsentCase {
  const char* name;
  SignatureConsent consent;
  bool browser;
  std::vector<json> requests;
  std::deque<std::variant<std::string, platform::PromptStop>> answers;
  std::vector<std::string> expected;
  std::size_t pin_screens, confirmations;
  long logins, logouts, signatures;  // C_Login, C_Logout, C_SignInit
  bool asks_each_time = false;
};

// What the case's dialogs showed, every scripted answer used, and what reached the token.
void expect_asked_and_reached(const ConsentCase& c, const PromptScript& script, const std::vector<std::string>& log) {
  EXPECT_EQ(script.screens.size(), c.pin_screens);
  EXPECT_EQ(script.confirmations.size(), c.confirmations);
  EXPECT_EQ(count_calls(log, "C_Login"), c.logins);
  EXPECT_EQ(count_calls(log, "C_Logout"), c.logouts);
  EXPECT_EQ(count_calls(log, "C_SignInit"), c.signatures);
  EXPECT_TRUE(script.answers.empty());
}

// The daemon the case runs on: the fake module loaded, its call log cleared, and the
// scripted dialog answering.
void consenting(DaemonState& daemon, const ConsentCase& c, PromptScript& script) {
  daemon.module_table[fake_module_path()] = open_module(fake_module_path()).value();
  daemon.candidate_paths = {fake_module_path()};
  daemon.browser = c.browser;
  daemon.policy.consent = c.consent;
  daemon.open_pin_dialog = [&] { return std::make_unique<ScriptedDialog>(script); };
  fake_folder().clear_log(file_name_of(fake_module_path()));
}

// Every signature is the user's as the deployer chose: under `each` (the browser host's
// own) a signature on a login held already waits for a confirmation that names the site,
// the certificate, the token and the asker's words, and a declined one reaches no token;
// `pin` asks the PIN for each and holds no login past its request; `none` (serve's own)
// signs with the held login unasked. A PIN typed into the prompt for the signature is its
// consent; a PIN the request sends is none, so its signature is confirmed as well (before
// C_Login where the login is new).
TEST_F(DaemonCacheTest, EachSignatureIsConsentedToAsTheDeployerChose) {
  using platform::PromptEnd;
  using platform::PromptStop;
  const std::string A = "https://shop.example";
  const std::string print = thumbprint_of(hex_bytes(NAMED_CERT_HEX)).value();
  auto from = [&](const char* cmd, const std::string& origin, const json& more = json::object()) {
    json request = {{"cmd", cmd}, {"thumbprint", print}};
    if (std::string_view(cmd) == "sign") request["hash_hex"] = "00ff";
    if (!origin.empty()) request["origin"] = origin;
    request.update(more);
    return request;
  };
  const json with_pin = {{"pin", "1234"}};
  const json described = {{"description", "Contract 42 for Example Ltd"}};
  const std::string& OK = ANY_OK;
  using Case = ConsentCase;
  const std::vector<Case> cases = {
      {"each: the PIN once, then a confirmation for each further signature", SignatureConsent::Each, true,
       {from("sign", A, described), from("sign", A), from("sign", A, described)}, {"1234", SIGN, SIGN}, {OK, OK, OK}, 1,
       2, 1, 0, 3},
      {"each: a declined or unanswered confirmation reaches no token, and the login stays", SignatureConsent::Each, true,
       {from("sign", A), from("sign", A), from("sign", A), from("sign", A)},
       {"1234", PromptStop{PromptEnd::Cancelled, ""}, PromptStop{PromptEnd::TimedOut, ""}, SIGN},
       {OK, error_response_text(SIGNATURE_DECLINED), error_response_text(SIGNATURE_UNCONFIRMED), OK}, 1, 3, 1, 0, 2},
      // The module's log starts again at the pull.
      {"each: a token pulled while its confirmation waits closes it, and nothing signs", SignatureConsent::Each, true,
       {from("sign", A), from("sign", A)}, {"1234", PULLED}, {OK, error_response_text(TOKEN_REMOVED)}, 1, 1, 0, 0, 0},
      {"each: unlocking signs nothing and confirms nothing; the signature after it is confirmed",
       SignatureConsent::Each, true, {from("validate", A), from("validate", A), from("sign", A)}, {"1234", SIGN},
       {R"({"ok":true})", R"({"cached":true,"ok":true})", OK}, 1, 1, 1, 0, 1},
      {"each: a PIN the page sends is no consent: every signature is confirmed, the first before its login",
       SignatureConsent::Each, true, {from("sign", A, with_pin), from("sign", A, with_pin)}, {SIGN, SIGN}, {OK, OK}, 0,
       2, 1, 0, 2},
      {"each: the page's PIN, its confirmation declined: the token is not logged in, no try is used",
       SignatureConsent::Each, true, {from("sign", A, with_pin)}, {PromptStop{PromptEnd::Cancelled, ""}},
       {error_response_text(SIGNATURE_DECLINED)}, 0, 1, 0, 0, 0},
      {"each: a page that declines, logs out and sends its PIN again signs only what was confirmed",
       SignatureConsent::Each, true,
       {from("sign", A, with_pin), from("sign", A, with_pin), from("logout", A), from("sign", A, with_pin)},
       {SIGN, PromptStop{PromptEnd::Cancelled, ""}, SIGN},
       {OK, error_response_text(SIGNATURE_DECLINED), R"({"closed":1,"ok":true})", OK}, 0, 3, 2, 1, 2},
      {"each: a key that asks its PIN each time, the PIN from the page: each signature is confirmed",
       SignatureConsent::Each, true, {from("sign", A, with_pin), from("sign", A, with_pin)}, {SIGN, SIGN}, {OK, OK}, 0,
       2, 3, 0, 2, true},
      {"each: a key that asks its PIN each time is asked it, not confirmed", SignatureConsent::Each, true,
       {from("sign", A), from("sign", A)}, {"1234", "1234"}, {OK, OK}, 2, 0, 3, 0, 2, true},
      {"pin: every signature asks the PIN, and its login ends with its answer", SignatureConsent::Pin, true,
       {from("sign", A), from("sign", A)}, {"1234", "1234"}, {OK, OK}, 2, 0, 2, 2, 2},
      {"none: the held login signs unasked", SignatureConsent::None, true, {from("sign", A), from("sign", A)}, {"1234"},
       {OK, OK}, 1, 0, 1, 0, 2},
      {"serve, each: an application's signatures, the first too, are confirmed", SignatureConsent::Each, false,
       {from("sign", "", with_pin), from("sign", "", with_pin), from("sign", "", with_pin)}, {SIGN, SIGN, SIGN},
       {OK, OK, OK}, 0, 3, 1, 0, 3},
      {"serve, each: a key that asks its PIN each time, the PIN in the request: each signature is confirmed",
       SignatureConsent::Each, false, {from("sign", "", with_pin), from("sign", "", with_pin)}, {SIGN, SIGN},
       {OK, OK}, 0, 2, 3, 0, 2, true},
      {"serve, pin: no login outlives its request, and a PIN in the request is confirmed", SignatureConsent::Pin,
       false, {from("sign", "", with_pin), from("sign", "", with_pin)}, {SIGN, SIGN}, {OK, OK}, 0, 2, 2, 2, 2},
      {"serve, none: one login, then signatures unasked", SignatureConsent::None, false,
       {from("sign", "", with_pin), from("sign", "", with_pin)}, {}, {OK, OK}, 0, 0, 1, 0, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    json t = token("Card", " SN 1 ", {certificate(NAMED_CERT_HEX), private_key("01", CKK_EC)});
    t["objects"][1]["always_authenticate"] = c.asks_each_time;
    const json scenario = {{"slots", json::array({slot(1, t)})}};
    fake_folder().write_scenario(name, scenario);
    PromptScript script{c.answers, {}, [&] { fake_folder().write_scenario(name, {{"slots", json::array({empty_slot(1)})}}); }};
    DaemonState daemon;
    consenting(daemon, c, script);
    // As serve does once each answer is written.
    expect_answers(daemon, c.requests, c.expected, [&] { end_request_logins(daemon); });
    const auto log = fake_folder().call_log(name);
    release_state(daemon);
    expect_asked_and_reached(c, script, log);
    // Each confirmation names who asks, the certificate and the token, and the asker's
    // words where it gave some, as theirs.
    for (const platform::PinScreen& screen : script.confirmations) {
      for (const std::string& shown :
           {c.browser ? A + " asks to sign with your certificate." : "An application on this computer asks to sign",
            std::string("Certificate: CN=Anna M\u00fcller"), std::string("Issued by: CN=Example Signing CA"),
            std::string("Token: Card"), std::string("Press Sign to make this signature, or Cancel.")})
        EXPECT_NE(screen.description.find(shown), std::string::npos) << screen.description;
      EXPECT_FALSE(screen.on_reader);
    }
  }
  // The asker's words where it gave some, on the PIN prompt and the confirmation alike.
  const std::string words = "The site describes this signature as: \"Contract 42 for Example Ltd\"";
  PromptScript script{{"1234", SIGN, SIGN}, {}};
  state.browser = true;
  state.policy.consent = SignatureConsent::Each;
  state.open_pin_dialog = [&] { return std::make_unique<ScriptedDialog>(script); };
  start({{"slots", json::array({slot(1, token("Card", " SN 1 ", {certificate(NAMED_CERT_HEX), private_key("01", CKK_EC)}))})}});
  for (const json& request : {from("sign", A, described), from("sign", A), from("sign", A, described)})
    EXPECT_NE(request_line(request).find(R"("ok":true)"), std::string::npos);
  ASSERT_EQ(script.screens.size(), 1u);
  ASSERT_EQ(script.confirmations.size(), 2u);
  EXPECT_NE(script.screens[0].description.find(words), std::string::npos) << script.screens[0].description;
  EXPECT_EQ(script.confirmations[0].description.find("describes"), std::string::npos);
  EXPECT_NE(script.confirmations[1].description.find(words), std::string::npos);
  // A description that is not text, or past 4096 bytes, is refused where it would be shown,
  // and taken as it is up to the bound; in serve without a prompt it is not read.
  const std::string refused = error_response_text("invalid request: description must be text of at most 4096 bytes");
  script.answers = {SIGN};
  EXPECT_EQ(request_line(from("sign", A, {{"description", 42}})), refused);
  EXPECT_EQ(request_line(from("sign", A, {{"description", std::string(4097, 'x')}})), refused);
  EXPECT_NE(request_line(from("sign", A, {{"description", std::string(4096, 'x')}})).find(R"("ok":true)"), std::string::npos);
  // A description past 200 characters is shown as its first 199 and "…", on the
  // confirmation and on the PIN prompt alike.
  std::string umlauts;
  for (int i = 0; i < 300; ++i) umlauts += "\u00fc";
  const std::string cut = "as: \"" + umlauts.substr(0, 199 * 2) + "\u2026\"";
  script.answers = {SIGN};
  EXPECT_NE(request_line(from("sign", A, {{"description", umlauts}})).find(R"("ok":true)"), std::string::npos);
  EXPECT_NE(script.confirmations.back().description.find(cut), std::string::npos) << script.confirmations.back().description;
  EXPECT_EQ(request_line(from("logout", A)), R"({"closed":1,"ok":true})");
  script.answers = {"1234"};
  EXPECT_NE(request_line(from("sign", A, {{"description", umlauts}})).find(R"("ok":true)"), std::string::npos);
  EXPECT_NE(script.screens.back().description.find(cut), std::string::npos) << script.screens.back().description;
  state.browser = false;
  state.policy.consent = SignatureConsent::None;
  json applications = from("sign", "", with_pin);
  applications["description"] = json::array({1, 2});
  EXPECT_NE(request_line(applications).find(R"("ok":true)"), std::string::npos);
}

// The user logs in to a site: the one certificate fit for it (a signing one beside it is
// not offered) is named in the agent's own dialog, which asks each time whatever the
// deployer chose for signatures: the PIN prompt first, then the confirmation, and before the
// login where the PIN came in the request. A refused request asks nothing and reaches no
// token, and the site is given nothing to sign or list with.
TEST_F(DaemonCacheTest, AnAuthenticationAsksTheUserEachTimeAndSignsTheSitesValue) {
  using platform::PromptEnd;
  using platform::PromptStop;
  const std::string A = "https://portal.example:8443";
  const std::string NONCE = "q2lS3pV1Zy0jW7hU5kE8rN4tB6mC9xA2sD5fG8hJ1kL=";
  auto auth = [&](const json& more = json::object()) {
    json request = {{"cmd", "authenticate"}, {"origin", A}, {"challenge_nonce", NONCE}};
    request.update(more);
    return request;
  };
  const json with_pin = {{"pin", "1234"}};
  const std::string& OK = ANY_OK;
  const std::string DECLINED = error_response_text(SIGNATURE_DECLINED);
  using Case = ConsentCase;
  const std::vector<Case> cases = {
      {"a page: the PIN prompt, then a confirmation each time; a declined one signs nothing", SignatureConsent::Each,
       true, {auth(), auth(), auth()}, {"1234", SIGN, PromptStop{PromptEnd::Cancelled, ""}},
       {OK, OK, DECLINED}, 1, 2, 1, 0, 2},
      {"a page where the deployer asks nothing for signatures is asked all the same", SignatureConsent::None,
       true, {auth(), auth()}, {"1234", SIGN}, {OK, OK}, 1, 1, 1, 0, 2},
      {"refused before any dialog: a page's PIN, a nonce, an origin", SignatureConsent::Each, true,
       {auth(with_pin), auth({{"challenge_nonce", NONCE.substr(1)}}), auth({{"challenge_nonce", NONCE + "!"}}),
        auth({{"origin", "http://portal.example"}}), auth({{"origin", A + "/"}}), auth({{"origin", nullptr}})},
       {},
       {error_response_text("invalid request: a site may not send the PIN to log in"),
        error_response_text("invalid request: challenge_nonce must be 44 to 128 Base64 characters"),
        error_response_text("invalid request: challenge_nonce must be 44 to 128 Base64 characters"),
        error_response_text("invalid request: authenticate needs an https origin"),
        error_response_text("invalid request: authenticate needs an https origin"),
        error_response_text("invalid request: authenticate needs an https origin")},
       0, 0, 0, 0, 0},
      {"an application's PIN logs in once, each authentication confirmed, the first before its login",
       SignatureConsent::None, false, {auth(with_pin), auth(with_pin)}, {SIGN, SIGN}, {OK, OK}, 0, 2, 1, 0, 2},
      {"an application's PIN, declined: the token is not logged in", SignatureConsent::None, false, {auth(with_pin)},
       {PromptStop{PromptEnd::Cancelled, ""}}, {DECLINED}, 0, 1, 0, 0, 0},
      {"an application without a PIN: the prompt", SignatureConsent::None, false, {auth()}, {"1234"}, {OK}, 1, 0, 1, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    json t = token("Card", " SN 1 ", {certificate(QC_SIGNING_HEX, "01"), private_key("01", CKK_EC),
                                      certificate(LOGIN_P384_HEX, "02"), private_key("02", CKK_EC)});
    fake_folder().write_scenario(name, {{"slots", json::array({slot(1, t)})}, {"sign_lengths", {96}}});
    PromptScript script{c.answers, {}};
    DaemonState daemon;
    consenting(daemon, c, script);
    daemon.open_cert_picker = [] -> std::unique_ptr<platform::CertPicker> { throw std::logic_error("no picker for one"); };
    std::vector<std::string> answers;
    for (const json& request : c.requests) {
      answers.push_back(handle_daemon_request(daemon, request.dump()));
      end_request_logins(daemon);
    }
    const auto log = fake_folder().call_log(name);
    const bool chose_nothing = daemon.chosen_certs.empty();
    release_state(daemon);
    ASSERT_EQ(answers.size(), c.expected.size());
    for (std::size_t i = 0; i < answers.size(); ++i) {
      if (c.expected[i] != OK) {
        EXPECT_EQ(answers[i], c.expected[i]);
        continue;
      }
      // The fake token's signature is what it was given: the digest the key signs for ES384.
      const json token = json::parse(answers[i]).at("auth_token");
      EXPECT_EQ(token.at("algorithm"), "ES384");
      EXPECT_EQ(token.at("format"), "web-eid:1.0");
      EXPECT_EQ(token.at("unverifiedCertificate"), base64_encode(hex_bytes(LOGIN_P384_HEX)));
      auto algorithm = login_algorithm(platform::read_cert_facts(hex_bytes(LOGIN_P384_HEX))).value();
      Bytes signed_digest = login_digest(algorithm, A, NONCE).value();
      signed_digest.resize(96, 0xAB);
      EXPECT_EQ(token.at("signature"), base64_encode(signed_digest));
    }
    if (c.pin_screens + c.confirmations == 0) {
      EXPECT_TRUE(log.empty());
    }
    expect_asked_and_reached(c, script, log);
    EXPECT_TRUE(chose_nothing);
    // Every screen says the site asks to log in, with which certificate.
    std::vector<platform::PinScreen> shown = script.screens;
    shown.insert(shown.end(), script.confirmations.begin(), script.confirmations.end());
    for (const platform::PinScreen& screen : shown) {
      EXPECT_NE(screen.description.find(A + " asks you to log in with your certificate."), std::string::npos)
          << screen.description;
      EXPECT_NE(screen.description.find("Certificate: CN=Login P-384"), std::string::npos);
    }
    for (const platform::PinScreen& screen : script.confirmations) {
      EXPECT_EQ(screen.title, "p11agent: log in");
      EXPECT_NE(screen.description.find("Press Sign to log in with this certificate, or Cancel."), std::string::npos);
    }
  }
  // Two certificates for logging in: the user picks one in the picker, which names the
  // site; an application with none for logging in is answered at once.
  class PicksLast final : public platform::CertPicker {
   public:
    explicit PicksLast(std::vector<platform::PickerScreen>& shown) : shown_(shown) {}
    std::expected<std::size_t, platform::PromptStop> pick(const platform::PickerScreen& screen) override {
      shown_.push_back(screen);
      return screen.rows.size() - 1;
    }
    std::expected<void, platform::PromptStop> nothing_to_choose(const platform::PickerScreen&) override {
      return std::unexpected(platform::PromptStop{platform::PromptEnd::Cancelled, ""});
    }

   private:
    std::vector<platform::PickerScreen>& shown_;
  };
  std::vector<platform::PickerScreen> shown;
  PromptScript script{{"1234"}, {}};
  state.browser = true;
  state.open_pin_dialog = [&] { return std::make_unique<ScriptedDialog>(script); };
  state.open_cert_picker = [&] { return std::make_unique<PicksLast>(shown); };
  start({{"slots", json::array({slot(1, token("Card", " SN 1 ", {certificate(SIGNING_P256_HEX, "01"), private_key("01", CKK_EC),
                                                                  certificate(LOGIN_P384_HEX, "02"), private_key("02", CKK_EC)}))})},
         {"sign_lengths", {96}}});
  const json picked = json::parse(request_line(auth()));
  ASSERT_TRUE(picked.contains("auth_token")) << picked;
  EXPECT_EQ(picked["auth_token"]["unverifiedCertificate"], base64_encode(hex_bytes(LOGIN_P384_HEX)));
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].rows.size(), 2u);
  EXPECT_EQ(shown[0].description.find(A + " asks you to choose a certificate."), 0u);
  state.browser = false;
  rescript({{"slots", json::array({slot(1, token("Card", " SN 1 ", {certificate(QC_SIGNING_HEX, "01"), private_key("01", CKK_EC)}))})}});
  EXPECT_EQ(request_line(auth()), error_response_text(NO_MATCHING_CERT));
  EXPECT_EQ(shown.size(), 1u);
}

// What a signature needs of the user, by the deployer's setting, how its PIN came, whether
// the login is new or held, and what the key itself asks: a PIN the request carries is no
// consent under `each` or `pin`, whatever the login or the key.
TEST(ConsentStep, OnlyTheUsersOwnActInTheAgentsDialogIsConsent) {
  using enum ConsentStep;
  constexpr auto Each = SignatureConsent::Each, Pin = SignatureConsent::Pin, None = SignatureConsent::None;
  constexpr auto Once = KeyRule::PinOnceALogin, EachTime = KeyRule::PinEachSignature, Unknown = KeyRule::Unknown;
  struct Row {
    SignatureConsent setting;
    PinCame pin;
    LoginAt login;
    KeyRule key;
    ConsentStep step;
  };
  const std::vector<Row> rows = {
      // The user typed it for this very request, or entered it on the reader.
      {Each, PinCame::Prompt, LoginAt::Held, Once, Sign},
      {Pin, PinCame::Prompt, LoginAt::Held, EachTime, Sign},
      {Each, PinCame::Keypad, LoginAt::Held, EachTime, Sign},
      // The request's PIN: confirmed, the first of a login too (before its C_Login).
      {Each, PinCame::Request, LoginAt::New, Unknown, Confirm},
      {Each, PinCame::Request, LoginAt::Held, Once, Confirm},
      {Each, PinCame::Request, LoginAt::Held, EachTime, Confirm},
      {Pin, PinCame::Request, LoginAt::New, Unknown, Confirm},
      {Pin, PinCame::Request, LoginAt::Held, EachTime, Confirm},
      {None, PinCame::Request, LoginAt::New, Unknown, Sign},
      {None, PinCame::Request, LoginAt::Held, EachTime, Sign},
      // No PIN yet: a new login's is asked; on a held login the setting decides, unless the
      // key asks its own PIN.
      {Each, PinCame::NotAsked, LoginAt::New, Unknown, Prompt},
      {None, PinCame::NotAsked, LoginAt::New, Unknown, Prompt},
      {Each, PinCame::NotAsked, LoginAt::Held, Once, Confirm},
      {Each, PinCame::NotAsked, LoginAt::Held, EachTime, Prompt},
      {Pin, PinCame::NotAsked, LoginAt::Held, Once, Prompt},
      {None, PinCame::NotAsked, LoginAt::Held, Once, Sign},
      {None, PinCame::NotAsked, LoginAt::Held, EachTime, Prompt},
  };
  for (const Row& row : rows)
    EXPECT_EQ(consent_step(row.setting, row.pin, row.login, row.key), row.step)
        << static_cast<int>(row.setting) << " " << static_cast<int>(row.pin) << " " << static_cast<int>(row.login)
        << " " << static_cast<int>(row.key);
}

// The deployer's values as the agent reads them: a value it does not take is read as the
// strictest choice, and that is what is in force, not only what the doctor says.
TEST(LoginPolicy, AValueNotTakenIsReadAsTheStrictestChoice) {
  struct Row {
    const char* name;
    bool browser;
    LoginSettings settings;
    SignatureConsent consent;
    std::optional<std::chrono::seconds> idle;
    bool lock_ends;
    std::size_t problems;
  };
  const std::vector<Row> rows = {
      {"the browser host's own", true, {}, SignatureConsent::Each, 600s, true, 0},
      {"serve's own", false, {}, SignatureConsent::None, std::nullopt, false, 0},
      {"values as written, white space around them", false, {" pin\n", "30\n", "1"}, SignatureConsent::Pin, 30s, true, 0},
      {"0 seconds: never", true, {std::nullopt, "0", "0"}, SignatureConsent::Each, std::nullopt, false, 0},
      {"a word for the seconds: 600", false, {std::nullopt, "ten", std::nullopt}, SignatureConsent::None, 600s, false, 1},
      {"a negative number: 600", false, {std::nullopt, "-5", std::nullopt}, SignatureConsent::None, 600s, false, 1},
      {"an unknown consent: each", false, {"always", std::nullopt, std::nullopt}, SignatureConsent::Each, std::nullopt,
       false, 1},
      {"a lock flag that is not 1 or 0: 1", false, {std::nullopt, std::nullopt, "yes"}, SignatureConsent::None,
       std::nullopt, true, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const PolicyReading reading = read_login_policy(row.browser, row.settings);
    EXPECT_EQ(reading.policy.consent, row.consent);
    EXPECT_EQ(reading.policy.idle_limit, row.idle);
    EXPECT_EQ(reading.policy.lock_ends_logins, row.lock_ends);
    EXPECT_EQ(reading.problems.size(), row.problems);
  }
}

// The settings are read once for the process, whichever part asks first and however many
// ask: the deployer's three switches and three values for logins, and the user's trace file.
TEST(Settings, AreReadOncePerProcess) {
  (void)deployer_login_settings();
  (void)platform::pin_prompt_required();
  (void)platform::cert_choice_required();
  (void)platform::cert_listing_allowed();
  (void)platform::trace_target();
  (void)deployer_login_settings();
  EXPECT_EQ(platform::setting_reads(), 7u);
}

// A held login ends (C_Logout, its session closed, its PIN forgotten) once unused past the
// policy's limit, and once the user left the computer where the policy says so: the next
// request logs in anew. It is not ended while in use, nor where the policy keeps it.
TEST_F(DaemonCacheTest, AHeldLoginEndsWhenUnusedOrWhenTheUserLeaves) {
  class Departures final : public platform::ScreenLockWatch {
   public:
    void leave() { ++*departures_; }
  };
  start(card());
  auto* watch = new Departures;
  state.screen_lock.reset(watch);
  struct Step {
    const char* name;
    std::optional<std::chrono::seconds> idle_limit;
    bool lock_ends_logins;
    bool user_leaves;
    std::chrono::seconds later;
    bool ends;
    std::chrono::seconds aged = 0s;         // how long ago the login was last used
    std::optional<json> between = {};       // a request made on it before the check
    SignatureConsent consent = SignatureConsent::None;
  };
  const json validating = {{"cmd", "validate"}, {"thumbprint", thumbprint}, {"pin", "1234"}};
  const json signing = {{"cmd", "sign"}, {"thumbprint", thumbprint}, {"pin", "1234"}, {"hash_hex", "00ff"}};
  PromptScript script;
  state.open_pin_dialog = [&] { return std::make_unique<ScriptedDialog>(script); };
  const std::vector<Step> steps = {
      {"used within the limit", 600s, false, false, 599s, false},
      {"unused past the limit", 600s, false, false, 601s, true},
      {"no limit", std::nullopt, false, false, 100000s, false},
      {"the user leaves", std::nullopt, true, true, 0s, true},
      {"the user left before, and not since", std::nullopt, true, false, 0s, false},
      {"the user leaves where the policy keeps logins", std::nullopt, false, true, 0s, false},
      // Only the user keeps a login alive: a caller's validate leaves its time as it was; a
      // signature the user confirmed, or one the deployer lets the held login make, restarts it.
      {"a caller validates on it", 3s, false, false, 0s, true, 10s, validating},
      {"a confirmed signature is made on it", 3s, false, false, 2s, false, 10s, signing, SignatureConsent::Each},
      {"a signature is made on it unasked", 3s, false, false, 2s, false, 10s, signing},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    request(R"({"cmd":"logout"})");
    EXPECT_EQ(validate(), R"({"ok":true})");
    state.policy = LoginPolicy{step.consent, step.idle_limit, step.lock_ends_logins};
    state.token_logins.at(card_token()).last_used -= step.aged;
    script.answers = {SIGN};
    if (step.between) {
      EXPECT_NE(request_line(*step.between).find(R"("ok":true)"), std::string::npos);
    }
    if (step.user_leaves) watch->leave();
    calls();
    end_expired_logins(state, std::chrono::steady_clock::now() + step.later);
    EXPECT_EQ(calls(), step.ends ? (Calls{"C_Logout", "C_CloseSession"}) : Calls{});
    EXPECT_EQ(validate(), step.ends ? R"({"ok":true})" : R"({"cached":true,"ok":true})");
  }
}

// The Windows dialog's field takes keys only while the dialog is the active window; when
// it is not (Windows refused it the front), it asks to be clicked and flashes.
TEST(KeyboardRule, ThePinFieldTakesKeysOnlyWhileTheDialogIsActive) {
  for (bool active : {true, false}) {
    const platform::KeyboardRule rule = platform::keyboard_rule(active);
    EXPECT_EQ(rule.field_takes_keys, active);
    EXPECT_EQ(rule.asks_for_click, !active);
    EXPECT_EQ(rule.flashes, !active);
  }
}

TEST_F(DaemonCacheTest, RefusesIncompleteRequestsAndCertificatesWithoutId) {
  start(card(1, "1", ""));
  EXPECT_EQ(request(R"({"cmd":"validate","thumbprint":"ab"})"), error_response_text("validate requires thumbprint and pin"));
  EXPECT_EQ(request(R"({"cmd":"sign","thumbprint":"ab","pin":"1"})"), error_response_text("sign requires thumbprint, hash_hex and pin"));
  EXPECT_EQ(request(R"({"cmd":"sign","thumbprint":"ab","pin":"1","hash_hex":"abc"})"),
            error_response_text("hash_hex must be valid hex: Odd number of digits"));
  EXPECT_EQ(validate(), error_response_text("cert has no CKA_ID"));
  EXPECT_EQ(validate("1234", "00"), error_response_text("certificate not found on any connected token"));
}

}  // namespace
}  // namespace p11agent
