// Login classification, the PIN copy, and one-shot signing on the fake module.
#include <gtest/gtest.h>

#include "system/library.h"
#include "sign/login.h"
#include "sign/signing.h"
#include "support/fake_token.h"
#include "token/certificate.h"

namespace p11agent {
namespace {

using namespace testing_support;

const std::string CERT_HEX = "30030201ff";
const Bytes CERT_DER = {0x30, 0x03, 0x02, 0x01, 0xff};
const Bytes DIGEST(32, 0x5a);

class SigningTest : public ::testing::Test {
 protected:
  std::string path = fake_module_path();
  std::string name = file_name_of(path);
  std::string thumbprint = thumbprint_of(CERT_DER).value();

  static json signing_token(const std::vector<json>& objects, unsigned long flags = 0) {
    return {{"slots", json::array({slot(1, token("T", "S", objects, flags))})}};
  }
  static json rsa_token() { return signing_token({certificate(CERT_HEX, "01"), private_key("01", CKK_RSA)}); }
  // Its key asks for the PIN again for every signature.
  static json always_authenticating_token() {
    json key = private_key("01", CKK_EC);
    key["always_authenticate"] = true;
    return signing_token({certificate(CERT_HEX, "01"), key});
  }
  static json failing(json s, const std::string& function, CK_RV rv, long call = 0) {
    s["fail"].push_back(failure(function, rv, call));
    return s;
  }
  void scenario(const json& s) { fake_folder().write_scenario(name, s); }
  std::vector<std::string> log() { return fake_folder().call_log(name); }
  std::expected<SignOutput, std::string> sign(const std::string& pin = "1234", std::string print = "") {
    return sign_once(path, PinSource{pin}, print.empty() ? thumbprint : print, DIGEST);
  }
  std::string text(CK_RV rv) { return "PKCS11 error: " + describe_rv(rv); }
};

TEST_F(SigningTest, ReportsEveryFailureWithItsStepText) {
  struct Case {
    std::string what;
    json scenario;
    std::string error;
  };
  auto flagged = [&](unsigned long flags) { return signing_token({certificate(CERT_HEX, "01"), private_key("01")}, flags); };
  const std::vector<Case> cases = {
      {"count low", flagged(CKF_USER_PIN_COUNT_LOW), "WRONG_PIN:2"},
      {"final try wins over count low", flagged(CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY), "WRONG_PIN:1"},
      {"locked wins over both", flagged(CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED),
       "WRONG_PIN:0"},
      {"no flags", flagged(0), "WRONG_PIN:-1"},
      {"wrong PIN and no certificate", signing_token({}, CKF_USER_PIN_COUNT_LOW), "WRONG_PIN:2"},
      {"token information unreadable after the failure",
       failing(flagged(CKF_USER_PIN_COUNT_LOW), "C_GetTokenInfo", CKR_DEVICE_ERROR), "WRONG_PIN:-1"},
  };
  for (const auto& c : cases) {
    scenario(c.scenario);
    auto signed_ = sign("9999");
    ASSERT_FALSE(signed_) << c.what;
    EXPECT_EQ(signed_.error(), c.error) << c.what;
  }
  const std::vector<Case> correct_pin_cases = {
      {"PIN locked by the token, no flag set", failing(rsa_token(), "C_Login", CKR_PIN_LOCKED), "WRONG_PIN:0"},
      {"mutex error reads as locked", failing(rsa_token(), "C_Login", CKR_MUTEX_NOT_LOCKED), "WRONG_PIN:-1"},
      {"PIN length", failing(rsa_token(), "C_Login", CKR_PIN_LEN_RANGE),
       "C_Login: Function::Login: " + text(CKR_PIN_LEN_RANGE)},
      {"already logged in is no special case here", failing(rsa_token(), "C_Login", CKR_USER_ALREADY_LOGGED_IN),
       "C_Login: Function::Login: " + text(CKR_USER_ALREADY_LOGGED_IN)},
      {"expired PIN", failing(rsa_token(), "C_Login", CKR_PIN_EXPIRED),
       "C_Login: Function::Login: " + text(CKR_PIN_EXPIRED)},
      {"no C_Login", [&] { json s = rsa_token(); s["null"] = json::array({"C_Login"}); return s; }(),
       "C_Login: Calling a NULL function pointer"},
      {"no token", {{"slots", json::array({empty_slot(1)})}}, "no token in any slot"},
      {"slot list", failing(rsa_token(), "C_GetSlotList", CKR_DEVICE_ERROR),
       "get_slots_with_token: Function::GetSlotList: " + text(CKR_DEVICE_ERROR)},
      {"session", failing(rsa_token(), "C_OpenSession", CKR_SESSION_COUNT),
       "open_rw_session: Function::OpenSession: " + text(CKR_SESSION_COUNT)},
      {"certificate search", failing(rsa_token(), "C_FindObjectsInit", CKR_DEVICE_ERROR, 1),
       "find certs: Function::FindObjectsInit: " + text(CKR_DEVICE_ERROR)},
      {"certificate attributes", failing(rsa_token(), "C_GetAttributeValue", CKR_DEVICE_REMOVED, 1),
       "get cert attrs: Function::GetAttributeValue: " + text(CKR_DEVICE_REMOVED)},
      {"matching certificate without id", signing_token({certificate(CERT_HEX, nullptr), certificate(CERT_HEX, "01"),
                                                         private_key("01")}),
       "no cert matched the requested thumbprint"},
      {"first of two equal certificates decides",
       signing_token({certificate(CERT_HEX, "01"), certificate(CERT_HEX, "02"), private_key("02")}),
       "no private key for cert"},
      {"key search", failing(rsa_token(), "C_FindObjectsInit", CKR_DEVICE_ERROR, 2),
       "find key: Function::FindObjectsInit: " + text(CKR_DEVICE_ERROR)},
      {"key type", failing(rsa_token(), "C_GetAttributeValue", CKR_DEVICE_ERROR, 4),
       "get key type: Function::GetAttributeValue: " + text(CKR_DEVICE_ERROR)},
      {"key type of the wrong size",
       signing_token({certificate(CERT_HEX, "01"), {{"class", "private_key"}, {"id_hex", "01"}, {"key_type_hex", "0300"}}}),
       "get key type: Error converting slice to array (could not convert slice to array)"},
      {"mechanism refused", failing(rsa_token(), "C_SignInit", CKR_KEY_TYPE_INCONSISTENT),
       "C_Sign: Function::SignInit: " + text(CKR_KEY_TYPE_INCONSISTENT)},
      {"signature", failing(rsa_token(), "C_Sign", CKR_DEVICE_REMOVED, 2),
       "C_Sign: Function::Sign: " + text(CKR_DEVICE_REMOVED)},
      {"PIN refused for the signature", failing(always_authenticating_token(), "C_Login", CKR_PIN_INCORRECT, 2),
       "WRONG_PIN:-1"},
      {"login for the signature fails", failing(always_authenticating_token(), "C_Login", CKR_DEVICE_ERROR, 2),
       "C_Login: Function::Login: " + text(CKR_DEVICE_ERROR)},
  };
  for (const auto& c : correct_pin_cases) {
    scenario(c.scenario);
    auto signed_ = sign();
    ASSERT_FALSE(signed_) << c.what;
    EXPECT_EQ(signed_.error(), c.error) << c.what;
    // Whatever happened, the session was closed before the module was finalised, without a logout.
    auto order = calls_named(log(), {"C_OpenSession", "C_CloseSession", "C_Finalize", "C_Logout"});
    ASSERT_FALSE(order.empty()) << c.what;
    EXPECT_EQ(order.back(), "C_Finalize") << c.what;
    EXPECT_EQ(count_calls(log(), "C_Logout"), 0) << c.what;
    EXPECT_EQ(count_succeeded_calls(log(), "C_OpenSession"), count_calls(log(), "C_CloseSession")) << c.what;
  }
  // Two tokens behind the module: the PIN goes only to the one that shows the certificate.
  scenario({{"slots", json::array({slot(1, token("A", "1", {})),
                                   slot(2, token("B", "2", {certificate(CERT_HEX), private_key()}))})}});
  ASSERT_TRUE(sign()) << "certificate on the second token";
  std::vector<std::string> read_write_sessions;
  for (const std::string& line : log())
    if (line.find("flags=6") != std::string::npos) read_write_sessions.push_back(line);
  EXPECT_EQ(read_write_sessions, (std::vector<std::string>{"C_OpenSession slot=2 flags=6"}));
  EXPECT_EQ(count_calls(log(), "C_Login"), 1);
  // A write-protected token refuses the read-write session; signing writes nothing.
  json protected_token = rsa_token();
  protected_token["slots"][0]["token"]["write_protected"] = true;
  scenario(protected_token);
  ASSERT_TRUE(sign()) << "write-protected token";
  EXPECT_EQ(calls_named(log(), {"C_OpenSession"}).size(), 2u);
  // A key that asks for the PIN for every signature is given it after C_SignInit.
  scenario(always_authenticating_token());
  ASSERT_TRUE(sign()) << "always-authenticate key";
  EXPECT_EQ(calls_named(log(), {"C_Login", "C_SignInit", "C_Sign"}),
            (std::vector<std::string>{"C_Login", "C_SignInit", "C_Login", "C_Sign", "C_Sign"}));
}

TEST_F(SigningTest, SignsTheGivenBytesWithTheMechanismOfTheKeyType) {
  struct Case {
    json key;
    CK_MECHANISM_TYPE mechanism;
  };
  json untyped = private_key("01");
  untyped["key_type"] = nullptr;
  const std::vector<Case> cases = {
      {private_key("01", CKK_RSA), CKM_RSA_PKCS},
      {private_key("01", CKK_EC), CKM_ECDSA},
      {private_key("01", CKK_DSA), CKM_RSA_PKCS},
      {untyped, CKM_RSA_PKCS},
  };
  for (const auto& c : cases) {
    scenario(signing_token({certificate(CERT_HEX, "01"), c.key}));
    auto signed_ = sign("1234", "  " + thumbprint);  // surrounding spaces never match
    ASSERT_FALSE(signed_);
    signed_ = sign("1234", [&] {
      std::string upper = thumbprint;
      for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      return upper;
    }());
    ASSERT_TRUE(signed_) << signed_.error();
    EXPECT_EQ(signed_->cert_der, CERT_DER);
    // The fake token's signature starts with exactly the bytes it was given.
    ASSERT_EQ(signed_->signature.size(), 64u);
    EXPECT_EQ(Bytes(signed_->signature.begin(), signed_->signature.begin() + 32), DIGEST);
    auto inits = log();
    auto init = std::find_if(inits.begin(), inits.end(), [](const std::string& l) { return l.rfind("C_SignInit", 0) == 0; });
    ASSERT_NE(init, inits.end());
    EXPECT_NE(init->find("mechanism=" + std::to_string(c.mechanism) + " "), std::string::npos) << *init;
  }
}

TEST_F(SigningTest, TheSecondSignatureLengthStandsUnlessItClaimsUnwrittenBytesOrNone) {
  struct Case {
    std::vector<unsigned long> lengths;  // the size query's answer, then the signing call's
    std::size_t signed_length;           // 0: an error
    std::string error;
  };
  // A signature of no bytes is no signature: the module is as broken as one that fails.
  const std::string empty = "C_Sign: Function::Sign: " + text(CKR_GENERAL_ERROR);
  const std::vector<Case> cases = {
      {{256, 255}, 255, ""},
      {{64, 65}, 0, "C_Sign: Function::Sign: " + text(CKR_BUFFER_TOO_SMALL)},
      {{0, 0}, 0, empty},
      {{64, 0}, 0, empty},
  };
  for (const Case& c : cases) {
    json s = rsa_token();
    s["sign_lengths"] = c.lengths;
    scenario(s);
    auto signed_ = sign();
    EXPECT_EQ(signed_ ? signed_->signature.size() : 0u, c.signed_length) << c.lengths[0];
    EXPECT_EQ(signed_ ? std::string() : signed_.error(), c.error) << c.lengths[0];
  }
}

TEST_F(SigningTest, AnEmptyIdGoesOnToTheKeySearch) {
  scenario(signing_token({certificate(CERT_HEX, ""), private_key("")}));
  auto signed_ = sign();
  ASSERT_TRUE(signed_) << signed_.error();
}

TEST_F(SigningTest, EmptyDataIsSignedAsIs) {
  scenario(rsa_token());
  auto signed_ = sign_once(path, PinSource{"1234"}, thumbprint, Bytes{});
  ASSERT_TRUE(signed_) << signed_.error();
  EXPECT_EQ(signed_->signature, Bytes(64, 0xAB));
}

TEST_F(SigningTest, ThePinCopyHoldsOnlyZeroBytesAfterTheLogin) {
  for (const std::string& pin : {std::string("1234"), std::string("9999"), std::string(5000, 'p'),
                                std::string("a\0b\xc3\xa9", 5)}) {
    scenario(signing_token({}, 0));
    auto module = open_module(path);
    ASSERT_TRUE(module);
    auto session = open_rw_session(*module, 1);
    ASSERT_TRUE(session);
    PinCopy copy(pin);
    (void)login_user(*session, copy);
    // The module saw the copy's own memory, with the PIN's length...
    auto library = platform::load_library(path);
    ASSERT_TRUE(library);
    auto* address = static_cast<const unsigned char**>(platform::library_symbol(*library, "fake_last_pin_address"));
    auto* length = static_cast<unsigned long*>(platform::library_symbol(*library, "fake_last_pin_length"));
    ASSERT_NE(address, nullptr);
    EXPECT_EQ(*address, copy.bytes().data());
    EXPECT_EQ(*length, pin.size());
    // ...and that memory is all zero once C_Login has returned.
    EXPECT_TRUE(std::all_of(copy.bytes().begin(), copy.bytes().end(), [](std::uint8_t b) { return b == 0; }));
    platform::unload_library(*library);
  }
}

class HeldLoginRoadTest : public SigningTest {
 protected:
  std::expected<void, HeldLoginFailure> held_login(const json& s, const std::string& pin, bool accepted_before) {
    scenario(s);
    auto module = open_module(path);
    auto session = open_rw_session(*module, 1);
    return login_held_session(*session, pin, accepted_before);
  }
};

TEST_F(HeldLoginRoadTest, AnAlreadyLoggedInSessionIsLoggedOutAndInOnce) {
  struct Case {
    std::string what;
    json scenario;
    std::string pin;
    bool accepted_before;  // the token said CKR_OK to this PIN on the held login before
    std::string error;     // "" for success
    long logins;
    bool session_lost = false;
  };
  json low = signing_token({}, CKF_USER_PIN_COUNT_LOW);
  json twice = failing(failing(rsa_token(), "C_Login", CKR_USER_ANOTHER_ALREADY_LOGGED_IN, 1), "C_Login",
                       CKR_USER_ALREADY_LOGGED_IN, 2);
  json twice_again = twice;
  twice_again["again"] = true;
  const std::string still_logged_in = "C_Login: Function::Login: " + text(CKR_USER_ALREADY_LOGGED_IN);
  const std::vector<Case> cases = {
      {"then success", failing(rsa_token(), "C_Login", CKR_USER_ALREADY_LOGGED_IN, 1), "1234", false, "", 2},
      {"twice, the PIN accepted before", twice, "1234", true, "", 2},
      // Nothing says the token ever checked this PIN. (The scenario differs in an unused
      // member, so that the module counts its calls anew.)
      {"twice, a PIN never accepted", twice_again, "0000", false, still_logged_in, 2},
      {"twice after a failed logout", failing(failing(rsa_token(), "C_Login", CKR_USER_ALREADY_LOGGED_IN), "C_Logout",
                                              CKR_DEVICE_ERROR),
       "0000", false, still_logged_in, 2},
      {"then a wrong PIN", failing(low, "C_Login", CKR_USER_ALREADY_LOGGED_IN, 1), "0000", true, "WRONG_PIN:2", 2},
      {"wrong PIN, slot gone from the list", failing(failing(low, "C_Login", CKR_PIN_INCORRECT), "C_GetSlotList",
                                                     CKR_DEVICE_ERROR, 1),
       "1234", false, "WRONG_PIN:-1", 1},
      {"other failure", failing(rsa_token(), "C_Login", CKR_DEVICE_ERROR), "1234", false,
       "C_Login: Function::Login: " + text(CKR_DEVICE_ERROR), 1},
      {"session the module lost", failing(rsa_token(), "C_Login", CKR_SESSION_HANDLE_INVALID), "1234", true,
       "C_Login: Function::Login: " + text(CKR_SESSION_HANDLE_INVALID), 1, true},
      {"token pulled", failing(rsa_token(), "C_Login", CKR_DEVICE_REMOVED), "1234", true,
       "C_Login: Function::Login: " + text(CKR_DEVICE_REMOVED), 1, true},
  };
  for (const auto& c : cases) {
    auto result = held_login(c.scenario, c.pin, c.accepted_before);
    EXPECT_EQ(result ? std::string() : result.error().refusal.message, c.error) << c.what;
    EXPECT_EQ(result ? false : result.error().session_lost, c.session_lost) << c.what;
    EXPECT_EQ(count_calls(log(), "C_Login"), c.logins) << c.what;
    EXPECT_EQ(count_calls(log(), "C_Logout"), c.logins - 1) << c.what;
  }
}

}  // namespace
}  // namespace p11agent
