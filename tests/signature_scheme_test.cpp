// Signatures that name their algorithm: what a request may ask, how each is made, and that
// one the key or its token cannot make is refused before any PIN is used (one-shot and
// the daemon, on the fake module; under Wine too).
#include <gtest/gtest.h>

#include <cstring>

#include "daemon/serve.h"
#include "sign/signature_scheme.h"
#include "sign/signing.h"
#include "sign/web_login.h"
#include "support/fake_token.h"
#include "token/certificate.h"
#include "wire/request.h"
#include "wire/response.h"

namespace p11agent {
namespace {

using namespace testing_support;

std::expected<SignatureScheme, std::string> scheme(const char* algorithm, const char* hash, const char* format,
                                                   std::size_t bytes = 32) {
  auto member = [](const char* value) { return value != nullptr ? std::optional<std::string>(value) : std::nullopt; };
  return parse_signature_scheme(member(algorithm), member(hash), member(format), bytes);
}

TEST(SignatureScheme, RefusesWhatIsNotOneWithATextThatSaysWhy) {
  struct Case {
    const char* algorithm;
    const char* hash;
    const char* format;
    std::size_t bytes;
    std::string error;
  };
  const Case cases[] = {
      {"RSA-PSS-SHA256", nullptr, nullptr, 32, R"(algorithm must be "RSA-PKCS1", "RSA-PSS" or "ECDSA")"},
      {nullptr, "SHA-1", nullptr, 20,
       R"(hash must be "SHA-224", "SHA-256", "SHA-384", "SHA-512", "SHA3-256", "SHA3-384" or "SHA3-512")"},
      {"RSA-PKCS1", "SHA-384", nullptr, 32, "hash_hex must be a SHA-384 digest of 48 bytes, not 32"},
      {nullptr, nullptr, "pem", 32, R"(signature_format must be "raw" or "der")"},
      {"RSA-PSS", nullptr, nullptr, 32, "RSA-PSS needs hash: the digest's algorithm is one of its parameters"},
      {"RSA-PKCS1", nullptr, "der", 32, R"(signature_format "der" is for ECDSA signatures)"},
  };
  for (const Case& c : cases) EXPECT_EQ(scheme(c.algorithm, c.hash, c.format, c.bytes), std::unexpected(c.error)) << c.error;
  EXPECT_FALSE(scheme(nullptr, nullptr, nullptr)->named());
  EXPECT_FALSE(scheme(nullptr, nullptr, "raw")->named());
}

std::vector<MechanismInfo> listed(std::initializer_list<std::pair<CK_MECHANISM_TYPE, CK_MECHANISM_INFO>> mechanisms) {
  std::vector<MechanismInfo> out;
  for (const auto& [type, info] : mechanisms) out.push_back({type, info});
  return out;
}

TEST(SignatureScheme, IsPlannedForTheKeyAndWhatItsTokenOffers) {
  const KeyFacts rsa{CKK_RSA, 2048}, ec{CKK_EC, 256}, unknown{};
  const TokenMechanisms all = listed({{CKM_RSA_PKCS, {1024, 4096, CKF_SIGN}},
                                      {CKM_RSA_PKCS_PSS, {1024, 4096, CKF_SIGN}},
                                      {CKM_ECDSA, {32, 66, CKF_SIGN}}});  // ECDSA's range in bytes, as some tokens give it
  const TokenMechanisms pkcs1_only = listed({{CKM_RSA_PKCS, {1024, 4096, CKF_SIGN}}, {CKM_RSA_PKCS_PSS, {1024, 4096, 0}}});
  const TokenMechanisms small_keys = listed({{CKM_RSA_PKCS, {512, 1024, CKF_SIGN}}});
  struct Case {
    const char* name;
    SignatureScheme scheme;
    KeyFacts key;
    TokenMechanisms mechanisms;
    CK_MECHANISM_TYPE mechanism;  // 0: refused with `refusal`
    std::size_t prefix = 0;
    std::string refusal = "";
  };
  const Case cases[] = {
      {"PSS with its hash", *scheme("RSA-PSS", "SHA-384", nullptr, 48), rsa, all, CKM_RSA_PKCS_PSS},
      {"PKCS #1 with the agent's DigestInfo", *scheme("RSA-PKCS1", "SHA-256", nullptr), rsa, all, CKM_RSA_PKCS, 19},
      {"a hash alone, by the key's type", *scheme(nullptr, "SHA-512", nullptr, 64), rsa, std::nullopt, CKM_RSA_PKCS, 19},
      {"ECDSA in DER, a token that gives bytes", *scheme(nullptr, nullptr, "der"), ec, all, CKM_ECDSA},
      {"a key of unknown type, tried as asked", *scheme("RSA-PSS", "SHA-256", nullptr), unknown, all, CKM_RSA_PKCS_PSS},
      {"PSS of an EC key", *scheme("RSA-PSS", "SHA-256", nullptr), ec, all, 0, 0,
       "ALGORITHM_NOT_SUPPORTED: RSA-PSS/SHA-256 (the key offers ECDSA)"},
      {"ECDSA of an RSA key", *scheme("ECDSA", nullptr, nullptr), rsa, pkcs1_only, 0, 0,
       "ALGORITHM_NOT_SUPPORTED: ECDSA (the key offers RSA-PKCS1)"},
      {"PSS listed but not for signing", *scheme("RSA-PSS", "SHA-256", nullptr), rsa, pkcs1_only, 0, 0,
       "ALGORITHM_NOT_SUPPORTED: RSA-PSS/SHA-256 (the key offers RSA-PKCS1)"},
      {"a key past the token's sizes", *scheme("RSA-PKCS1", "SHA-256", nullptr), rsa, small_keys, 0, 0,
       "ALGORITHM_NOT_SUPPORTED: RSA-PKCS1/SHA-256 (the key offers no signature the agent makes)"},
      {"SHA3 where the token lists no SHA3 digest", *scheme("RSA-PSS", "SHA3-256", nullptr), rsa, all, 0, 0,
       "ALGORITHM_NOT_SUPPORTED: RSA-PSS/SHA3-256 (the key offers RSA-PKCS1, RSA-PSS/SHA-256, RSA-PSS/SHA-384, "
       "RSA-PSS/SHA-512)"},
      {"PSS whose encoding passes a 1024-bit key (130 bytes of 128)", *scheme("RSA-PSS", "SHA-512", nullptr, 64),
       {CKK_RSA, 1024}, all, 0, 0,
       "ALGORITHM_NOT_SUPPORTED: RSA-PSS/SHA-512 (the key offers RSA-PKCS1, RSA-PSS/SHA-256, RSA-PSS/SHA-384)"},
      {"PSS that just fits (98 bytes of 98)", *scheme("RSA-PSS", "SHA-384", nullptr, 48), {CKK_RSA, 778}, std::nullopt,
       CKM_RSA_PKCS_PSS},
      {"PSS one bit short of fitting (98 bytes of 97)", *scheme("RSA-PSS", "SHA-384", nullptr, 48), {CKK_RSA, 777},
       std::nullopt, 0, 0, "ALGORITHM_NOT_SUPPORTED: RSA-PSS/SHA-384 (the key offers RSA-PKCS1, RSA-PSS/SHA-256)"},
      {"DER of an RSA key", *scheme(nullptr, nullptr, "der"), rsa, all, 0, 0,
       R"(signature_format "der" is for ECDSA signatures)"},
  };
  for (const Case& c : cases) {
    auto plan = plan_signature(c.scheme, c.key, c.mechanisms);
    if (c.mechanism == 0) {
      EXPECT_EQ(plan, std::unexpected(c.refusal)) << c.name << ": " << (plan ? "planned" : plan.error());
      continue;
    }
    ASSERT_TRUE(plan) << c.name << ": " << plan.error();
    EXPECT_EQ(plan->mechanism, c.mechanism) << c.name;
    EXPECT_EQ(plan->prefix.size(), c.prefix) << c.name;
    EXPECT_EQ(plan->pss.has_value(), c.mechanism == CKM_RSA_PKCS_PSS) << c.name;
  }
  // PSS: MGF1 with the same hash, and a salt as long as the hash.
  auto pss = plan_signature(*scheme("RSA-PSS", "SHA-384", nullptr, 48), rsa, all);
  EXPECT_EQ(pss->pss->hashAlg, CKM_SHA384);
  EXPECT_EQ(pss->pss->mgf, CKG_MGF1_SHA384);
  EXPECT_EQ(pss->pss->sLen, 48u);
  // The DigestInfo before the digest, byte for byte as RFC 8017 (section 9.2, note 1) and,
  // for SHA-3, the NIST OIDs 2.16.840.1.101.3.4.2.8-10 write it.
  const std::pair<const char*, const char*> digest_infos[] = {
      {"SHA-224", "302d300d06096086480165030402040500041c"}, {"SHA-256", "3031300d060960864801650304020105000420"},
      {"SHA-384", "3041300d060960864801650304020205000430"}, {"SHA-512", "3051300d060960864801650304020305000440"},
      {"SHA3-256", "3031300d060960864801650304020805000420"}, {"SHA3-384", "3041300d060960864801650304020905000430"},
      {"SHA3-512", "3051300d060960864801650304020a05000440"},
  };
  for (const auto& [hash, prefix] : digest_infos) {
    const std::size_t length = std::strtoul(prefix + 36, nullptr, 16);
    auto pkcs1 = plan_signature(*scheme("RSA-PKCS1", hash, nullptr, length), rsa, all);
    const Bytes digest(length, 0x11);
    EXPECT_EQ(hex_encode(signed_input(*pkcs1, digest)), prefix + hex_encode(digest)) << hash;
  }
}

TEST(SignatureScheme, AnEcdsaSignatureInDerHoldsItsIntegersAsDerWritesThem) {
  const SignPlan der{"ECDSA", CKM_ECDSA, std::nullopt, {}, true};
  // r with its high bit set takes a zero before it; s's leading zeros go.
  Bytes raw(64, 0x00);
  raw[0] = 0x80;
  raw[63] = 0x7f;
  EXPECT_EQ(hex_encode(*answered_signature(der, raw)),
            "3026022100" "80" + std::string(62, '0') + "02017f");
  // P-521's r‖s: the sequence's length takes two bytes.
  EXPECT_EQ((*answered_signature(der, Bytes(132, 0x81)))[1], 0x81);
  EXPECT_FALSE(answered_signature(der, Bytes(63, 0x01)));
  const SignPlan raw_plan{"ECDSA", CKM_ECDSA, std::nullopt, {}, false};
  EXPECT_EQ(answered_signature(raw_plan, raw), raw);
}

// The refusals that cost no PIN, and what a token that does not answer its list gets, in
// both modes: the call log holds no C_Login for a refusal; PSS parameters reach the module
// as the agent made them.
TEST(SignatureScheme, WhatTheKeyCannotMakeIsRefusedBeforeAnyLogin) {
  const std::string path = fake_module_path();
  const std::string name = file_name_of(path);
  const json rsa_all = token("T", "S", {certificate(FUTURE_RSA_HEX, "01"), private_key("01", CKK_RSA)});
  json rsa_pkcs1_only = rsa_all;
  rsa_pkcs1_only["mechanisms"] = {{{"type", CKM_RSA_PKCS}, {"min", 1024}, {"max", 4096}}};
  const json ec = token("T", "S", {certificate(SIGNING_P256_HEX, "01"), private_key("01", CKK_EC)});
  json rsa_no_sign = rsa_all;
  rsa_no_sign["objects"][1]["sign"] = false;
  CK_RSA_PKCS_PSS_PARAMS pss{CKM_SHA256, CKG_MGF1_SHA256, 32};
  Bytes pss_bytes(sizeof pss);
  std::memcpy(pss_bytes.data(), &pss, sizeof pss);
  struct Case {
    const char* name;
    json token;
    json rules;
    json members;
    std::string answer;  // "": signs
    long logins;
    std::string sign_init = "";  // in the C_SignInit line
  };
  const json pss_256 = {{"algorithm", "RSA-PSS"}, {"hash", "SHA-256"}};
  const std::vector<Case> cases = {
      {"PSS of an EC key", ec, json::object(), pss_256, "ALGORITHM_NOT_SUPPORTED: RSA-PSS/SHA-256 (the key offers ECDSA)", 0},
      {"ECDSA of an RSA key", rsa_all, json::object(), {{"algorithm", "ECDSA"}},
       "ALGORITHM_NOT_SUPPORTED: ECDSA (the key offers RSA-PKCS1, RSA-PSS/SHA-256, RSA-PSS/SHA-384, RSA-PSS/SHA-512)", 0},
      {"a token without PSS", rsa_pkcs1_only, json::object(), pss_256,
       "ALGORITHM_NOT_SUPPORTED: RSA-PSS/SHA-256 (the key offers RSA-PKCS1)", 0},
      {"a key whose CKA_SIGN is false, seen after the login", rsa_no_sign, json::object(), pss_256,
       "ALGORITHM_NOT_SUPPORTED: RSA-PSS/SHA-256 (the key may not sign: its CKA_SIGN is false)", 1},
      {"a module without C_GetMechanismList: tried as asked", rsa_all, {{"null", {"C_GetMechanismList"}}}, pss_256, "",
       1, "mechanism=" + std::to_string(CKM_RSA_PKCS_PSS) + " key=2 parameter=" + hex_encode(pss_bytes)},
      {"which then refuses it", rsa_all,
       {{"null", {"C_GetMechanismList"}}, {"fail", json::array({failure("C_SignInit", CKR_MECHANISM_INVALID)})}},
       pss_256, "ALGORITHM_NOT_SUPPORTED: RSA-PSS/SHA-256: C_Sign: ", 1},
      {"ECDSA in DER", ec, json::object(), {{"signature_format", "der"}}, "", 1},
  };
  for (const Case& c : cases) {
    for (const bool daemon : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (daemon ? " (serve)" : " (one-shot)"));
      json s = {{"slots", json::array({slot(1, c.token)})}};
      s.update(c.rules);
      fake_folder().write_scenario(name, s);
      const std::string print = thumbprint_of(hex_bytes(c.token["objects"][0]["value_hex"])).value();
      json request = {{"cmd", "sign"}, {"thumbprint", print}, {"hash_hex", std::string(64, 'a')}, {"pin", "1234"}};
      request.update(c.members);
      std::string answer;
      if (daemon) {
        DaemonState state;
        state.module_table[path] = open_module(path).value();
        state.candidate_paths = {path};
        fake_folder().clear_log(name);
        answer = handle_daemon_request(state, request.dump());
        release_state(state);
      } else {
        fake_folder().clear_log(name);
        const Request members = parse_request(request.dump()).value();
        auto parsed = parse_signature_scheme(members.algorithm, members.hash, members.signature_format, 32);
        auto signed_ = sign_once(path, PinSource{"1234"}, print, Bytes(32, 0xaa), std::nullopt, *parsed);
        answer = signed_ ? render_json(Json{{"ok", true}}) : error_response_text(signed_.error());
      }
      const auto log = fake_folder().call_log(name);
      if (c.answer.empty()) {
        EXPECT_NE(answer.find(R"("ok":true)"), std::string::npos) << answer;
      } else {
        EXPECT_NE(answer.find(c.answer), std::string::npos) << answer;
      }
      EXPECT_EQ(count_calls(log, "C_Login"), c.logins) << answer;
      if (!c.sign_init.empty()) {
        const auto init = std::ranges::find_if(log, [](const std::string& line) { return line.starts_with("C_SignInit "); });
        ASSERT_NE(init, log.end());
        EXPECT_NE(init->find(c.sign_init), std::string::npos) << *init;
      }
    }
  }
}


// An authentication signs H(H(origin) || H(nonce)) with the hash its key's algorithm names;
// the values for the published token's origin and nonce, as Python's hashlib computes them.
TEST(WebLogin, SignsTheDigestOfTheOriginsAndTheNoncesDigestsByTheKey) {
  const std::string origin = "https://ria.ee", nonce = "12345678123456781234567812345678912356789123";
  struct Case {
    const std::string* cert;
    std::string algorithm;  // or the refusal
    std::string value_hex, digest_hex;
  };
  const std::vector<Case> cases = {
      {&LOGIN_RSA_HEX, "RS256",
       "3a0de594ddc5e6d2db6ac36788ccd4102b7eb272e4d610ea8956317ccf616f92c5e0172f14dffbe8d725a65645554863f0d14ee50b9a38"
       "034e93f7e7305df864",
       "b279891a871202b377cf749958337a6ac4b69c00ede9746966c00b7887f07f14"},
      {&SIGNING_P256_HEX, "ES256", "", "b279891a871202b377cf749958337a6ac4b69c00ede9746966c00b7887f07f14"},
      {&LOGIN_P384_HEX, "ES384",
       "869fc67e8028212e14a4952c583bd614760e0ae9d0db1fcb660f5905b018b9ff09e273aef20bb96a0ccf3c6971f50c09afe69423e0d3d7"
       "da96cfb42063bfdba978de4f349afda87a9872eeb30863f942d1a51703ef679755ae09c479592fcf91",
       "6ab5b68a5b108467440b4787a75bd827a7afcdd7d90f4f3ec57fe4718d0cc6d3daeb4affee561758dfbb5d3fee88b548"},
      {&LOGIN_P521_HEX, "ES512",
       "214437f68be9d7a7651c913d571e6387c5d046266f314d88b050582b625d199c381b01878b78ddc7e7ffe1ee12d1f1319b694a9b9531a8"
       "c57c8769d511dbef669fba7a8c608454f530577180fef1659abde639811b88b855b16e5ae5f0f463999f41ce14e8301f2d1c19c11b5677"
       "7d143f07efb3b2a039f71397616e084875d7",
       "fedcc35511d70e0bc797d38cfa3d944c25ceebacb34fa04f30860770e5cb7ae70c140c14c812818b55b9d10906009a488c930b295a513a"
       "e6ecc905dc6145f203"},
      {&K1_DECIPHER_HEX, "ALGORITHM_NOT_SUPPORTED: RS256, ES256, ES384 or ES512 (the key is EC 1.3.132.0.10)", "", ""},
  };
  for (const Case& c : cases) {
    auto algorithm = login_algorithm(platform::read_cert_facts(hex_bytes(*c.cert)));
    ASSERT_EQ(algorithm ? std::string(algorithm->name) : algorithm.error(), c.algorithm);
    if (!algorithm) continue;
    if (!c.value_hex.empty()) {
      EXPECT_EQ(hex_encode(login_value(*algorithm, origin, nonce).value()), c.value_hex);
    }
    EXPECT_EQ(hex_encode(login_digest(*algorithm, origin, nonce).value()), c.digest_hex) << c.algorithm;
    // RSA adds the DigestInfo of SHA-256; ECDSA signs the digest as it is.
    const SignatureScheme scheme = login_scheme(*algorithm);
    EXPECT_EQ(scheme.hash != nullptr, true);
    EXPECT_EQ(scheme.algorithm, c.algorithm == "RS256" ? Algorithm::RsaPkcs1 : Algorithm::Ecdsa);
    EXPECT_FALSE(scheme.der);
  }
  // An EC signature is r || s, each the curve's size; the token's answer is held to it.
  auto es384 = login_algorithm(platform::read_cert_facts(hex_bytes(LOGIN_P384_HEX))).value();
  EXPECT_TRUE(login_signature_fits(es384, Bytes(96, 1)));
  EXPECT_FALSE(login_signature_fits(es384, Bytes(95, 1)));
  EXPECT_FALSE(login_signature_fits(es384, Bytes(104, 1)));
  // The token: the members the server libraries read, Base64 with padding.
  const nlohmann::json token = auth_token(Bytes{1, 2, 3, 4}, es384, Bytes{0xfb, 0xff});
  EXPECT_EQ(token.at("unverifiedCertificate"), "AQIDBA==");
  EXPECT_EQ(token.at("signature"), "+/8=");
  EXPECT_EQ(token.at("algorithm"), "ES384");
  EXPECT_EQ(token.at("format"), "web-eid:1.0");
  EXPECT_TRUE(token.at("appVersion").get<std::string>().starts_with("https://"));
  EXPECT_EQ(token.size(), 5u);
}

}  // namespace
}  // namespace p11agent
