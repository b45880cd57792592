// Signatures that name their algorithm: what a request may ask, how each is made, and that
// one the key or its token cannot make is refused before any PIN is used (one-shot and
// the daemon, on the fake module; under Wine too).
#include <gtest/gtest.h>

#include <cstring>

#include "daemon/serve.h"
#include "sign/signature_scheme.h"
#include "sign/signing.h"
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

}  // namespace
}  // namespace p11agent
