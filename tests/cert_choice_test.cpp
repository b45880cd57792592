// Certificates described, filtered and chosen: what the system's parser reads from them
// (the same table runs on both builds, so the Windows build's CryptoAPI is held to what
// OpenSSL reads on Linux), the filter, and the picker behind the daemon's commands.
#include <gtest/gtest.h>

#include <deque>
#include <set>
#include <variant>

#include "daemon/serve.h"
#include "sign/cert_choice.h"
#include "support/fake_token.h"
#include "token/certificate.h"
#include "token/slot.h"
#include "wire/response.h"

namespace p11agent {
namespace {

using namespace testing_support;

// Made with Python's cryptography package, each signed by a throwaway P-256 key.
// "Anna Signer", issued by "Example Signing CA, Example Trust": P-256, 2020-01-01 to
// 2040-01-01T12:30:05Z, keyUsage digitalSignature and nonRepudiation, EKU clientAuth and
// emailProtection.
// "Old CA key", issued by "Other Root": P-384, 2001 to 2002, keyUsage keyCertSign, cRLSign.
// "Later Holder": RSA-2048, 2090-01-01 to 2091-06-30 (GeneralizedTime), no extensions.
// "Curve Holder": secp256k1, keyUsage keyAgreement and decipherOnly, EKU document signing
// (1.3.6.1.4.1.311.10.3.12).
const std::string SIGNING_P256 =
    "3082016c30820112a00302010202021234300a06082a8648ce3d0403023035311b301906035504030c124578616d706c6520"
    "5369676e696e6720434131163014060355040a0c0d4578616d706c65205472757374301e170d323030313031303030303030"
    "5a170d3430303130313132333030355a30163114301206035504030c0b416e6e61205369676e65723059301306072a8648ce"
    "3d020106082a8648ce3d03010703420004a6b204afec3d5cc405960be01cd461dffb3a2920cf2a214c0c6c82ba4a3cb661dd"
    "3862454728c7017b9ae34d3e6f2300ee67f114a6f65d4864067511d40fad3ea331302f300e0603551d0f0101ff0404030206"
    "c0301d0603551d250416301406082b0601050507030206082b06010505070304300a06082a8648ce3d040302034800304502"
    "2100e3b20ef69cb880282f6ad5ad76a7d2702dd508cc53dcb06138780f37347ceb270220136d031f036a3d15cac45fa6836b"
    "f331c86fa109aeab7778324ef10e47188961";
const std::string EXPIRED_P384 =
    "308201483081efa00302010202021234300a06082a8648ce3d04030230153113301106035504030c0a4f7468657220526f6f"
    "74301e170d3031303130313030303030305a170d3032303130313030303030305a30153113301106035504030c0a4f6c6420"
    "4341206b65793076301006072a8648ce3d020106052b81040022036200047f3e91858df8643d6cea6b456fd00d4278d37a2b"
    "41e5f54b5982596f1544bb1798e5f699575ab916d9c64eb3d3b95281fff8187774b561e8fac31c8586e5fca368b43bdedb87"
    "5dfd62131380f402a7d15cbbd7a43ca58a56ebfa504156522bbca3123010300e0603551d0f0101ff040403020106300a0608"
    "2a8648ce3d0403020348003045022100a3f734c94c9c934100e7c9cc04329d1be799a33423ac96c71d098b8b5ce2728c0220"
    "2231a120a6dcc82cbb2a174265852c0b2aedbc5df854c7b1c61a1a32c58a4af4";
const std::string FUTURE_RSA =
    "30820208308201afa00302010202021234300a06082a8648ce3d0403023035311b301906035504030c124578616d706c6520"
    "5369676e696e6720434131163014060355040a0c0d4578616d706c652054727573743022180f323039303031303130303030"
    "30305a180f32303931303633303030303030305a30173115301306035504030c0c4c6174657220486f6c6465723082012230"
    "0d06092a864886f70d01010105000382010f003082010a02820101009c269584dd601a4f22c1dc3db2d88b55ff267b347679"
    "d6d165e256fb85dea906bdd11342bdabbb35ca807aa5feea9feb5082ef9a3e2bb4d88df3a59c02be725d344e88bbc8380930"
    "f562a9c52336be255157b17b95498f0c32fdd2b38253f04e25420e8a7dd632ec9a5bcfa2a0799dc5d9ffdd158d31671b63ea"
    "f98d2736cb6cf0c65c119189c3c5d89b1b7695b6923ec3f8d7dcdf07cad486e747d280393e42c6374e54aea9db7346b703db"
    "d2a426efd26ac6eebaadc12465126c279eb8f2b1cecb3f0c189e830d0394f86c36623bb2cadcac687cf3173f213dcfaad0dd"
    "272446944f9f7076f1415b4ace8c3cf7ea65dae563ca94e571dca9a7feed2aba912d0203010001300a06082a8648ce3d0403"
    "02034700304402201a5f29c49e866b863d0033ff37d01959349df6c5b8dd31b8b6125951e5fbfcdb022018351ea000d18a80"
    "e3359a9ede5485fbb370b9bd5ce7527f21e7f17453fc31f6";
const std::string K1_DECIPHER =
    "3082016230820109a00302010202021234300a06082a8648ce3d0403023035311b301906035504030c124578616d706c6520"
    "5369676e696e6720434131163014060355040a0c0d4578616d706c65205472757374301e170d323030313031303030303030"
    "5a170d3430303130313030303030305a30173115301306035504030c0c437572766520486f6c6465723056301006072a8648"
    "ce3d020106052b8104000a034200048ecf37f9cf6bdac000f7329ee9426d00bac2309ea97142c7e114f7b2a6fd4d51128845"
    "311fdea247e696093809b102ae6cf6f5e616b433bedb2692d011a4465ea32a3028300f0603551d0f0101ff04050303070880"
    "30150603551d25040e300c060a2b0601040182370a030c300a06082a8648ce3d04030203470030440220398ddad64ac60eae"
    "3b4ac4276a40d8d6426f6ae7bfc2e657e224e3b7b8bc184e022001d8eabab09bfcb2de3998694080de12e87c749c57925155"
    "8b0f9d35c6eda239";

TEST(CertDetails, ReadValidityKeyAndUsagesAsTheSystemParserDoes) {
  struct Case {
    const std::string* cert;
    json expected;
  };
  const Case cases[] = {
      {&SIGNING_P256,
       {{"not_before", "2020-01-01T00:00:00Z"}, {"not_after", "2040-01-01T12:30:05Z"}, {"key_type", "EC"},
        {"key_bits", 256}, {"curve", "P-256"}, {"key_usage", {"digitalSignature", "nonRepudiation"}},
        {"eku", {"1.3.6.1.5.5.7.3.2", "1.3.6.1.5.5.7.3.4"}}, {"subject", "CN=Anna Signer"},
        {"issuer", "CN=Example Signing CA, O=Example Trust"}}},
      {&EXPIRED_P384,
       {{"not_before", "2001-01-01T00:00:00Z"}, {"not_after", "2002-01-01T00:00:00Z"}, {"key_type", "EC"},
        {"key_bits", 384}, {"curve", "P-384"}, {"key_usage", {"keyCertSign", "cRLSign"}}, {"eku", nullptr}}},
      {&FUTURE_RSA,
       {{"not_before", "2090-01-01T00:00:00Z"}, {"not_after", "2091-06-30T00:00:00Z"}, {"key_type", "RSA"},
        {"key_bits", 2048}, {"curve", nullptr}, {"key_usage", nullptr}, {"eku", nullptr}}},
      {&K1_DECIPHER,
       {{"key_type", "EC"}, {"key_bits", nullptr}, {"curve", "1.3.132.0.10"},
        {"key_usage", {"keyAgreement", "decipherOnly"}}, {"eku", {"1.3.6.1.4.1.311.10.3.12"}}}},
  };
  for (const Case& c : cases) {
    const TokenCert cert{"m", "Token", "1", "", hex_bytes(*c.cert), true};
    const json members = details_members(cert, cert_details(cert.der));
    for (const auto& [name, value] : c.expected.items()) EXPECT_EQ(members.at(name), value) << name;
    EXPECT_EQ(members.at("token_label"), "Token");
  }
  // Data the parser does not take, trailing bytes among it, says nothing of what it would hold.
  for (const std::string& broken : {SIGNING_P256 + "00", SIGNING_P256.substr(0, 200), der_with_serial("01")}) {
    const TokenCert cert{"m", "", "", "", hex_bytes(broken), false};
    const json members = details_members(cert, cert_details(cert.der));
    for (const char* name : {"not_before", "not_after", "key_type", "key_bits", "curve", "key_usage", "eku"})
      EXPECT_TRUE(members.at(name).is_null()) << name;
  }
}

TEST(Rfc3339, ReadsTimesWithOffsetsAndRefusesWhatIsNotOne) {
  EXPECT_EQ(parse_rfc3339("2040-01-01T12:30:05Z"), unix_time(2040, 1, 1, 12, 30, 5));
  EXPECT_EQ(parse_rfc3339("2040-01-01t13:30:05.999+01:00"), unix_time(2040, 1, 1, 12, 30, 5));
  EXPECT_EQ(parse_rfc3339("1969-12-31T23:59:59Z"), -1);
  EXPECT_EQ(rfc3339_utc(unix_time(2091, 6, 30, 0, 0, 0)), "2091-06-30T00:00:00Z");
  for (const char* wrong : {"", "now", "2040-01-01", "2040-01-01T12:30:05", "2040-02-30T00:00:00Z",
                            "2040-01-01T24:00:00Z", "2040-01-01T12:30:05+1:00", "2040-01-01T12:30:05.Z",
                            "2040-01-01T12:30:05Zjunk"})
    EXPECT_FALSE(parse_rfc3339(wrong)) << wrong;
}

const UnixTime NOW = unix_time(2026, 12, 8, 12, 0, 0);

TEST(CertFilter, RefusesMembersItDoesNotTakeAndValuesOfTheWrongKind) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"valid":"now"})",
       R"(unknown member "valid": it takes valid_at, key_usage, eku, issuer and has_private_key)"},
      {R"({"valid_at":"yesterday"})", R"(valid_at must be "now" or an RFC 3339 time such as "2026-12-08T18:00:00Z")"},
      {R"({"valid_at":1700000000})", R"(valid_at must be "now" or an RFC 3339 time such as "2026-12-08T18:00:00Z")"},
      {R"({"key_usage":[]})", R"(key_usage must be a list of "digitalSignature" and "nonRepudiation")"},
      {R"({"key_usage":["keyCertSign"]})", R"(key_usage must be a list of "digitalSignature" and "nonRepudiation")"},
      {R"({"eku":"1.3.6.1.5.5.7.3.4"})", R"(eku must be a list of dotted OIDs such as "1.3.6.1.5.5.7.3.4")"},
      {R"({"eku":["clientAuth"]})", R"(eku must be a list of dotted OIDs such as "1.3.6.1.5.5.7.3.4")"},
      {R"({"issuer":""})", "issuer must be a non-empty text"},
      {R"({"has_private_key":"yes"})", "has_private_key must be true or false"},
  };
  for (const auto& [filter, text] : cases)
    EXPECT_EQ(parse_cert_filter(std::string(filter), NOW), std::unexpected("invalid filter: " + std::string(text)))
        << filter;
}

TEST(CertFilter, PassesTheCertificatesEveryMemberAllows) {
  // Anna's key shows before login; the old CA's does not and the token asks for no login;
  // the later holder's token hides its keys until login.
  std::vector<TokenCert> certs = {{"m", "A", "1", "anna", hex_bytes(SIGNING_P256), true},
                                  {"m", "A", "1", "old", hex_bytes(EXPIRED_P384), false},
                                  {"m", "B", "2", "later", hex_bytes(FUTURE_RSA), false, true},
                                  {"m", "B", "2", "curve", hex_bytes(K1_DECIPHER), false, true}};
  const std::pair<const char*, std::set<std::string>> cases[] = {
      {R"({})", {"anna", "old", "later", "curve"}},
      {R"({"valid_at":"now"})", {"anna", "curve"}},
      {R"({"valid_at":"2001-06-01T00:00:00+02:00"})", {"old"}},
      {R"({"valid_at":"2040-01-01T12:30:05Z"})", {"anna"}},
      {R"({"valid_at":"2040-01-01T12:30:06Z"})", {}},
      // A certificate without keyUsage may sign; one whose keyUsage does not allow it may not.
      {R"({"key_usage":["nonRepudiation"]})", {"anna", "later"}},
      {R"({"eku":["1.3.6.1.5.5.7.3.4","1.3.6.1.4.1.311.10.3.12"]})", {"anna", "curve"}},
      {R"({"eku":["1.3.6.1.5.5.7.3.1"]})", {}},
      {R"({"issuer":"example TRUST"})", {"anna", "later", "curve"}},
      {R"({"has_private_key":true})", {"anna", "later", "curve"}},
      {R"({"has_private_key":true,"valid_at":"now","key_usage":["digitalSignature"]})", {"anna"}},
  };
  for (const auto& [text, expected] : cases) {
    auto filter = parse_cert_filter(std::string(text), NOW);
    ASSERT_TRUE(filter) << filter.error();
    std::set<std::string> passing;
    for (const Candidate& candidate : passing_certs(certs, *filter)) passing.insert(candidate.cert.thumbprint);
    EXPECT_EQ(passing, expected) << text;
  }
}

struct PickerScript {
  std::deque<std::variant<std::size_t, platform::PromptStop>> answers;
  std::vector<platform::PickerScreen> screens;
};

class ScriptedPicker final : public platform::CertPicker {
 public:
  explicit ScriptedPicker(PickerScript& script) : script_(script) {}
  std::expected<std::size_t, platform::PromptStop> pick(const platform::PickerScreen& screen) override {
    script_.screens.push_back(screen);
    if (script_.answers.empty()) return std::unexpected(platform::PromptStop{platform::PromptEnd::Failed, "unscripted"});
    auto answer = script_.answers.front();
    script_.answers.pop_front();
    if (auto* stop = std::get_if<platform::PromptStop>(&answer)) return std::unexpected(*stop);
    return std::get<std::size_t>(answer);
  }

 private:
  PickerScript& script_;
};

// choose_cert and the deployer's setting through the daemon, on the fake module: a token
// with Anna's certificate and key, the expired one with its key, and the later holder's
// without one.
TEST(ChooseCert, TheUserPicksAndTheSiteLearnsOnlyThatCertificate) {
  using platform::PromptEnd;
  using platform::PromptStop;
  const std::string path = fake_module_path();
  const std::string name = file_name_of(path);
  const std::string anna = thumbprint_of(hex_bytes(SIGNING_P256)).value();
  const std::string old = thumbprint_of(hex_bytes(EXPIRED_P384)).value();
  const std::string site = "https://shop.example";
  auto choose = [&](const json& filter = nullptr) {
    json request = {{"cmd", "choose_cert"}, {"origin", site}};
    if (!filter.is_null()) request["filter"] = filter;
    return request;
  };
  auto sign = [&](const std::string& print, const std::string& origin) {
    return json{{"cmd", "sign"}, {"thumbprint", print}, {"hash_hex", "00ff"}, {"pin", "1234"}, {"origin", origin}};
  };
  const json list = {{"cmd", "list_certs"}, {"origin", site}};
  const json find = {{"cmd", "find_cert"}, {"thumbprint", anna}, {"origin", site}};
  const std::string OK = "ok";
  const std::string REQUIRED = error_response_text(CERT_CHOICE_REQUIRED);
  struct Case {
    const char* name;
    bool required;
    std::vector<json> requests;
    std::vector<std::variant<std::size_t, PromptStop>> answers;
    std::vector<std::string> expected;  // OK: the answer holds "ok":true
    std::size_t rows;                   // on the picker's first screen
    bool token_untouched = false;       // no call reached the module
  };
  const std::vector<Case> cases = {
      {"the pick answers that certificate alone", false, {choose()}, {std::size_t{0}}, {OK}, 2},
      {"cancel", false, {choose()}, {PromptStop{PromptEnd::Cancelled, ""}}, {error_response_text(CERT_CHOICE_CANCELLED)}, 2},
      {"timeout", false, {choose()}, {PromptStop{PromptEnd::TimedOut, ""}}, {error_response_text(CERT_CHOICE_TIMEOUT)}, 2},
      {"no picker", false, {choose()}, {PromptStop{PromptEnd::Unavailable, "install zenity"}},
       {error_response_text(std::string(CERT_CHOICE_UNAVAILABLE) + "install zenity")}, 2},
      {"a picker that answers a row that cannot be picked", false, {choose()}, {std::size_t{1}},
       {error_response_text(std::string(CERT_CHOICE_UNAVAILABLE) + "the picker answered a certificate that cannot be chosen")}, 2},
      {"nothing passes: no picker shown", false, {choose({{"eku", {"1.3.6.1.5.5.7.3.1"}}})}, {},
       {error_response_text(NO_MATCHING_CERT)}, 0},
      {"exactly one passes: still shown to confirm", false, {choose({{"valid_at", "now"}})}, {std::size_t{0}}, {OK}, 1},
      {"asked for, certificates without a key are offered", false, {choose({{"has_private_key", false}})},
       {std::size_t{0}}, {OK}, 3},
      {"a malformed filter is refused before the picker", false, {choose({{"valid_at", "soon"}})}, {},
       {error_response_text(R"(invalid filter: valid_at must be "now" or an RFC 3339 time such as "2026-12-08T18:00:00Z")")},
       0, true},
      {"the deployer's setting refuses listing and finding", true, {list, find}, {}, {REQUIRED, REQUIRED}, 0, true},
      {"the deployer's setting refuses a certificate not chosen for the site", true, {sign(anna, site)}, {}, {REQUIRED}, 0,
       true},
      {"once chosen, the site signs with it, and with no other; another site with none", true,
       {choose(), sign(anna, site), sign(old, site), sign(anna, "https://other.example")}, {std::size_t{0}},
       {OK, OK, REQUIRED, REQUIRED}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    json t = token("Card", "SN1",
                   {certificate(SIGNING_P256, "01"), private_key("01", CKK_EC), certificate(EXPIRED_P384, "02"),
                    private_key("02", CKK_EC), certificate(FUTURE_RSA, "03")});
    fake_folder().write_scenario(name, {{"slots", json::array({slot(1, t)})}});
    PickerScript script{{c.answers.begin(), c.answers.end()}, {}};
    DaemonState daemon;
    daemon.module_table[path] = open_module(path).value();
    daemon.candidate_paths = {path};
    daemon.browser = true;
    daemon.cert_choice_required = c.required;
    daemon.open_cert_picker = [&] { return std::make_unique<ScriptedPicker>(script); };
    fake_folder().clear_log(name);
    std::vector<std::string> answers;
    for (const json& request : c.requests) answers.push_back(handle_daemon_request(daemon, request.dump()));
    const auto log = fake_folder().call_log(name);
    release_state(daemon);
    for (std::size_t i = 0; i < answers.size(); ++i) {
      if (c.expected[i] == OK)
        EXPECT_NE(answers[i].find(R"("ok":true)"), std::string::npos) << answers[i];
      else
        EXPECT_EQ(answers[i], c.expected[i]);
    }
    if (c.token_untouched) {
      EXPECT_TRUE(log.empty());
    }
    EXPECT_EQ(script.screens.empty() ? 0 : script.screens.front().rows.size(), c.rows);
    if (c.rows == 0 || c.expected.front() != OK) continue;
    // The answer holds the picked certificate and no other; the screen names the site.
    const json answer = json::parse(answers.front());
    EXPECT_EQ(answer.at("thumbprint"), anna);
    EXPECT_EQ(answer.at("der_b64").get<std::string>().empty(), false);
    EXPECT_EQ(answer.at("token_label"), "Card");
    EXPECT_EQ(answer.at("subject"), "CN=Anna Signer");
    EXPECT_EQ(answers.front().find(old), std::string::npos);
    const platform::PickerScreen& screen = script.screens.front();
    EXPECT_NE(screen.description.find(site), std::string::npos);
    EXPECT_EQ(screen.rows[0].holder, "CN=Anna Signer");
    EXPECT_EQ(screen.rows[0].key, "EC P-256, signs");
    EXPECT_EQ(screen.rows[0].unusable, "");
    if (c.rows >= 2) {
      EXPECT_EQ(screen.rows[1].unusable, "expired on 2002-01-01");
    }
    if (c.rows == 3) {
      EXPECT_EQ(screen.rows[2].unusable, "valid only from 2090-01-01");
      EXPECT_EQ(screen.rows[2].key, "RSA 2048, signs, no private key on the token");
    }
  }
}

}  // namespace
}  // namespace p11agent
