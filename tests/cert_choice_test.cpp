// Certificates described, filtered and chosen: what the system's parser reads from them
// (the same table runs on both builds, so the Windows build's CryptoAPI is held to what
// OpenSSL reads on Linux), the filter, and the picker behind the daemon's commands.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <deque>
#include <functional>
#include <set>
#include <variant>

#include "daemon/serve.h"
#include "sign/cert_choice.h"
#include "support/fake_token.h"
#include "token/certificate.h"
#include "token/messages.h"
#include "token/slot.h"
#include "wire/response.h"

namespace p11agent {
namespace {

using namespace testing_support;

TEST(CertDetails, ReadValidityKeyAndUsagesAsTheSystemParserDoes) {
  struct Case {
    const std::string* cert;
    json expected;
  };
  const Case cases[] = {
      {&SIGNING_P256_HEX,
       {{"not_before", "2020-01-01T00:00:00Z"}, {"not_after", "2040-01-01T12:30:05Z"}, {"key_type", "EC"},
        {"key_bits", 256}, {"curve", "P-256"}, {"key_usage", {"digitalSignature", "nonRepudiation"}},
        {"eku", {"1.3.6.1.5.5.7.3.2", "1.3.6.1.5.5.7.3.4"}}, {"subject", "CN=Anna Signer"},
        {"issuer", "CN=Example Signing CA, O=Example Trust"}}},
      {&EXPIRED_P384_HEX,
       {{"not_before", "2001-01-01T00:00:00Z"}, {"not_after", "2002-01-01T00:00:00Z"}, {"key_type", "EC"},
        {"key_bits", 384}, {"curve", "P-384"}, {"key_usage", {"keyCertSign", "cRLSign"}}, {"eku", nullptr}}},
      {&FUTURE_RSA_HEX,
       {{"not_before", "2090-01-01T00:00:00Z"}, {"not_after", "2091-06-30T00:00:00Z"}, {"key_type", "RSA"},
        {"key_bits", 2048}, {"curve", nullptr}, {"key_usage", nullptr}, {"eku", nullptr}}},
      {&K1_DECIPHER_HEX,
       {{"key_type", "EC"}, {"key_bits", nullptr}, {"curve", "1.3.132.0.10"},
        {"key_usage", {"keyAgreement", "decipherOnly"}}, {"eku", {"1.3.6.1.4.1.311.10.3.12"}}, {"purposes", json::array()},
        {"qc", nullptr}}},
      // What each is for: by keyUsage and EKU, and the qualified statements the agent reads itself.
      {&SIGNING_P256_HEX, {{"purposes", {"signing", "authentication"}}, {"qc", nullptr}}},
      {&FUTURE_RSA_HEX, {{"purposes", {"signing", "authentication"}}}},
      {&EXPIRED_P384_HEX, {{"purposes", json::array()}}},
      {&QC_SIGNING_HEX,
       {{"purposes", {"signing"}}, {"qc", {{"compliance", true}, {"qscd", true}, {"types", {"esign"}}}}}},
      {&LOGIN_P384_HEX, {{"purposes", {"authentication"}}, {"eku", {"1.3.6.1.5.5.7.3.2"}}, {"qc", nullptr}}},
      {&MAIL_SEAL_HEX,
       {{"purposes", json::array()}, {"qc", {{"compliance", false}, {"qscd", false}, {"types", {"eseal", "web"}}}}}},
  };
  for (const Case& c : cases) {
    const TokenCert cert{"m", "Token", "1", "", hex_bytes(*c.cert), true};
    const json members = details_members(cert, cert_details(cert.der));
    for (const auto& [name, value] : c.expected.items()) EXPECT_EQ(members.at(name), value) << name;
    EXPECT_EQ(members.at("token_label"), "Token");
  }
  // Data the parser does not take, trailing bytes among it, says nothing of what it would hold.
  // Qualified statements that do not decode make the certificate unreadable, as a keyUsage would.
  for (const std::string& broken :
       {SIGNING_P256_HEX + "00", SIGNING_P256_HEX.substr(0, 200), der_with_serial("01"), BAD_QC_HEX}) {
    const TokenCert cert{"m", "", "", "", hex_bytes(broken), false};
    const json members = details_members(cert, cert_details(cert.der));
    for (const char* name : {"not_before", "not_after", "key_type", "key_bits", "curve", "key_usage", "eku", "purposes", "qc"})
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
       R"(unknown member "valid": it takes valid_at, key_usage, eku, issuer, has_private_key and purpose)"},
      {R"({"purpose":"login"})", R"(purpose must be "signing" or "authentication")"},
      {R"({"purpose":["signing"]})", R"(purpose must be "signing" or "authentication")"},
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
  std::vector<TokenCert> certs = {{"m", "A", "1", "anna", hex_bytes(SIGNING_P256_HEX), true},
                                  {"m", "A", "1", "old", hex_bytes(EXPIRED_P384_HEX), false},
                                  {"m", "B", "2", "later", hex_bytes(FUTURE_RSA_HEX), false, true},
                                  {"m", "B", "2", "curve", hex_bytes(K1_DECIPHER_HEX), false, true}};
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
      // Without keyUsage a certificate serves both.
      {R"({"purpose":"signing"})", {"anna", "later"}},
      {R"({"purpose":"authentication"})", {"anna", "later"}},
  };
  for (const auto& [text, expected] : cases) {
    auto filter = parse_cert_filter(std::string(text), NOW);
    ASSERT_TRUE(filter) << filter.error();
    std::set<std::string> passing;
    for (const Candidate& candidate : passing_certs(certs, *filter)) passing.insert(candidate.cert.thumbprint);
    EXPECT_EQ(passing, expected) << text;
  }
  // nonRepudiation for signing; digitalSignature with clientAuth (or no EKU) for logging in.
  const std::vector<TokenCert> purposeful = {{"m", "A", "1", "qualified", hex_bytes(QC_SIGNING_HEX), true},
                                             {"m", "A", "1", "login", hex_bytes(LOGIN_P384_HEX), true},
                                             {"m", "A", "1", "seal", hex_bytes(MAIL_SEAL_HEX), true}};
  for (const auto& [purpose, expected] : {std::pair{"signing", "qualified"}, std::pair{"authentication", "login"}}) {
    auto filter = parse_cert_filter(json{{"purpose", purpose}}.dump(), NOW);
    ASSERT_TRUE(filter);
    const auto passing = passing_certs(purposeful, *filter);
    ASSERT_EQ(passing.size(), 1u) << purpose;
    EXPECT_EQ(passing[0].cert.thumbprint, expected);
  }
  // The picker says it on each row.
  const auto screen = picker_screen("", passing_certs(purposeful, {}), NOW);
  ASSERT_EQ(screen.rows.size(), 3u);
  EXPECT_EQ(screen.rows[0].key, "EC P-256, for signing (qualified)");
  EXPECT_EQ(screen.rows[1].key, "EC P-384, for logging in");
  EXPECT_EQ(screen.rows[2].key, "EC P-256, signs");
}

// The user's Try again on the "nothing to choose" screen; the script's on_try_again runs
// first (a token is inserted meanwhile).
struct TryAgain {};
// A picker that throws, as a failed allocation would.
struct Throws {};
using PickerAnswer = std::variant<std::size_t, platform::PromptStop, TryAgain, Throws>;

struct PickerScript {
  std::deque<PickerAnswer> answers;
  std::vector<platform::PickerScreen> screens;
  std::vector<platform::PickerScreen> nothing_screens;
  std::function<void()> on_try_again;
};

class ScriptedPicker final : public platform::CertPicker {
 public:
  explicit ScriptedPicker(PickerScript& script) : script_(script) {}
  std::expected<std::size_t, platform::PromptStop> pick(const platform::PickerScreen& screen) override {
    script_.screens.push_back(screen);
    const PickerAnswer answer = next();
    if (std::holds_alternative<Throws>(answer)) throw std::bad_alloc();
    if (auto* stop = std::get_if<platform::PromptStop>(&answer)) return std::unexpected(*stop);
    if (auto* row = std::get_if<std::size_t>(&answer)) return *row;
    return std::unexpected(UNSCRIPTED);
  }
  std::expected<void, platform::PromptStop> nothing_to_choose(const platform::PickerScreen& screen) override {
    script_.nothing_screens.push_back(screen);
    const PickerAnswer answer = next();
    if (auto* stop = std::get_if<platform::PromptStop>(&answer)) return std::unexpected(*stop);
    if (!std::holds_alternative<TryAgain>(answer)) return std::unexpected(UNSCRIPTED);
    if (script_.on_try_again) script_.on_try_again();
    return {};
  }

 private:
  inline static const platform::PromptStop UNSCRIPTED{platform::PromptEnd::Failed, "unscripted"};
  PickerAnswer next() {
    if (script_.answers.empty()) return UNSCRIPTED;
    PickerAnswer answer = script_.answers.front();
    script_.answers.pop_front();
    return answer;
  }
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
  const std::string anna = thumbprint_of(hex_bytes(SIGNING_P256_HEX)).value();
  const std::string old = thumbprint_of(hex_bytes(EXPIRED_P384_HEX)).value();
  const std::string site = "https://shop.example";
  auto choose_from = [&](const std::string& origin, const json& filter = nullptr) {
    json request = {{"cmd", "choose_cert"}, {"origin", origin}};
    if (!filter.is_null()) request["filter"] = filter;
    return request;
  };
  auto choose = [&](const json& filter = nullptr) { return choose_from(site, filter); };
  // A second signing certificate on the token, where a case has one, and its picker row.
  const std::string named = thumbprint_of(hex_bytes(NAMED_CERT_HEX)).value();
  constexpr std::size_t NAMED_ROW = 1;  // signing certificates first: the named one before the expired one
  auto sign = [&](const std::string& print, const std::string& origin) {
    return json{{"cmd", "sign"}, {"thumbprint", print}, {"hash_hex", "00ff"}, {"pin", "1234"}, {"origin", origin}};
  };
  auto validate = [&](const std::string& print, const std::string& origin) {
    return json{{"cmd", "validate"}, {"thumbprint", print}, {"pin", "1234"}, {"origin", origin}};
  };
  const std::string other_site = "https://other.example";
  auto list_from = [](const std::string& origin) { return json{{"cmd", "list_certs"}, {"origin", origin}}; };
  auto find_from = [](const std::string& print, const std::string& origin) {
    return json{{"cmd", "find_cert"}, {"thumbprint", print}, {"origin", origin}};
  };
  const json list = list_from(site);
  const json find = find_from(anna, site);
  const std::string OK = "ok";
  const std::string REQUIRED = error_response_text(CERT_CHOICE_REQUIRED);
  const std::string NOT_FOUND = error_response_text(CERT_NOT_FOUND);
  const std::string NONE_LISTED = R"({"certs":[],"ok":true})";
  // Not requests: the token is pulled from its slot, or put back.
  const json PULL = {{"token", "pulled"}}, PUT_BACK = {{"token", "put back"}};
  const json WATCH = {{"cmd", "watch_tokens"}, {"origin", site}};
  const std::string ANNA_ALONE = "Anna's certificate, and no other";
  auto logout = [&](const std::string& print) { return json{{"cmd", "logout"}, {"thumbprint", print}, {"origin", site}}; };
  std::string upper_anna = anna;
  std::ranges::transform(upper_anna, upper_anna.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  const std::string ANNA_LISTED =
      json{{"certs", json::array({json{{"module", path}, {"thumbprint", anna}, {"token_serial", "SN1"}}})}, {"ok", true}}.dump();
  using enum CertAccess;
  struct Case {
    const char* name;
    CertAccess access;
    std::vector<json> requests;
    std::vector<PickerAnswer> answers;
    std::vector<std::string> expected;  // OK: the answer holds "ok":true
    std::size_t rows;                   // on the picker's first screen
    bool token_untouched = false;       // no call reached the module
    std::size_t nothing_shown = 0;      // "nothing to choose" screens
    bool browser = true;                // else an application on this computer
    bool inserted_later = false;        // the token is inserted at the first Try again
    bool second_signer = false;         // the token holds a second certificate with its key
  };
  const std::vector<Case> cases = {
      {"the pick answers that certificate alone", ChosenOnly, {choose()}, {std::size_t{0}}, {OK}, 2},
      {"cancel", ChosenOnly, {choose()}, {PromptStop{PromptEnd::Cancelled, ""}}, {error_response_text(CERT_CHOICE_CANCELLED)}, 2},
      {"timeout", ChosenOnly, {choose()}, {PromptStop{PromptEnd::TimedOut, ""}}, {error_response_text(CERT_CHOICE_TIMEOUT)}, 2},
      {"no picker", ChosenOnly, {choose()}, {PromptStop{PromptEnd::Unavailable, "install zenity"}},
       {error_response_text(std::string(CERT_CHOICE_UNAVAILABLE) + "install zenity")}, 2},
      {"a picker that answers a row that cannot be picked", ChosenOnly, {choose()}, {std::size_t{1}},
       {error_response_text(std::string(CERT_CHOICE_UNAVAILABLE) + "the picker answered a certificate that cannot be chosen")}, 2},
      {"nothing passes: the user is told, and their Cancel answers that", ChosenOnly,
       {choose({{"eku", {"1.3.6.1.5.5.7.3.1"}}})}, {PromptStop{PromptEnd::Cancelled, ""}},
       {error_response_text(NO_MATCHING_CERT)}, 0, false, 1},
      {"nothing passes and nothing can be shown: the site learns only that", ChosenOnly,
       {choose({{"eku", {"1.3.6.1.5.5.7.3.1"}}})}, {PromptStop{PromptEnd::Unavailable, "no desktop"}},
       {error_response_text(std::string(CERT_CHOICE_UNAVAILABLE) + "no desktop")}, 0, false, 1},
      {"nothing yet: Try again once the token is in lists it", ChosenOnly, {choose()}, {TryAgain{}, std::size_t{0}},
       {OK}, 2, false, 1, true, true},
      {"a throw in the request answers it, and the next request is answered as ever", ChosenOnly, {choose(), choose()},
       {Throws{}, std::size_t{0}}, {error_response_text("internal error: std::bad_alloc"), OK}, 2},
      {"an application on this computer is answered at once", All, {choose({{"eku", {"1.3.6.1.5.5.7.3.1"}}})}, {},
       {error_response_text(NO_MATCHING_CERT)}, 0, false, 0, false},
      {"exactly one passes: still shown to confirm", ChosenOnly, {choose({{"valid_at", "now"}})}, {std::size_t{0}}, {OK}, 1},
      {"asked for, certificates without a key are offered", ChosenOnly, {choose({{"has_private_key", false}})},
       {std::size_t{0}}, {OK}, 3},
      {"a malformed filter is refused before the picker", ChosenOnly, {choose({{"valid_at", "soon"}})}, {},
       {error_response_text(R"(invalid filter: valid_at must be "now" or an RFC 3339 time such as "2026-12-08T18:00:00Z")")},
       0, true},
      {"by default a site learns nothing before its user chose, and no token is asked", ChosenOnly,
       {list, find, sign(anna, site)}, {}, {NONE_LISTED, NOT_FOUND, REQUIRED}, 0, true},
      {"by default, once chosen: that one alone is listed, found and signed with; another site learns nothing",
       ChosenOnly,
       {choose(), list, find, find_from(old, site), sign(anna, site), sign(old, site), list_from(other_site),
        find_from(anna, other_site), sign(anna, other_site)},
       {std::size_t{0}}, {OK, ANNA_LISTED, OK, NOT_FOUND, OK, REQUIRED, NONE_LISTED, NOT_FOUND, REQUIRED}, 2},
      {"once chosen: listings with details or a filter hold that one alone, it is found in upper case, and a "
       "logout names no certificate another site chose on its token",
       ChosenOnly,
       {choose(), sign(anna, site), json{{"cmd", "list_certs"}, {"origin", site}, {"details", true}},
        json{{"cmd", "list_certs"}, {"origin", site}, {"filter", {{"has_private_key", false}}}},
        find_from(upper_anna, site), choose_from(other_site), sign(named, other_site), logout(named), logout(anna)},
       {std::size_t{0}, std::size_t{NAMED_ROW}},
       {OK, OK, ANNA_ALONE, ANNA_ALONE, OK, OK, OK, R"({"closed":0,"ok":true})", R"({"closed":1,"ok":true})"}, 3,
       false, 0, true, false, true},
      {"a pulled token takes the site's choice along: put back, its certificate is not chosen", ChosenOnly,
       {choose(), WATCH, PULL, WATCH, PUT_BACK, list, sign(anna, site)}, {std::size_t{0}},
       {OK, OK, OK, NONE_LISTED, REQUIRED}, 2},
      {"the deployer allowing listing: a site lists, finds and signs as an application does", All,
       {list, find_from(old, site), sign(old, site)}, {}, {OK, OK, OK}, 0},
      {"the deployer's setting refuses listing and finding", ChoiceRequired, {list, find}, {}, {REQUIRED, REQUIRED}, 0, true},
      {"the deployer's setting refuses a certificate not chosen for the site", ChoiceRequired,
       {sign(anna, site), validate(anna, site)}, {}, {REQUIRED, REQUIRED}, 0, true},
      {"once chosen, the site signs with it, and with no other; another site with none", ChoiceRequired,
       {choose(), sign(anna, site), sign(old, site), sign(anna, other_site), list}, {std::size_t{0}},
       {OK, OK, REQUIRED, REQUIRED, REQUIRED}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    json t = token("Card", "SN1",
                   {certificate(SIGNING_P256_HEX, "01"), private_key("01", CKK_EC), certificate(EXPIRED_P384_HEX, "02"),
                    private_key("02", CKK_EC), certificate(FUTURE_RSA_HEX, "03")});
    if (c.second_signer)
      for (const json& object : {certificate(NAMED_CERT_HEX, "04"), private_key("04", CKK_EC)}) t["objects"].push_back(object);
    const json inserted = {{"slots", json::array({slot(1, t)})}};
    fake_folder().write_scenario(name, c.inserted_later ? json{{"slots", json::array({empty_slot(1)})}} : inserted);
    PickerScript script{{c.answers.begin(), c.answers.end()}, {}, {}, [&] { fake_folder().write_scenario(name, inserted); }};
    DaemonState daemon;
    daemon.module_table[path] = open_module(path).value();
    daemon.candidate_paths = {path};
    daemon.browser = c.browser;
    daemon.cert_access = c.access;
    daemon.open_cert_picker = [&] { return std::make_unique<ScriptedPicker>(script); };
    fake_folder().clear_log(name);
    std::vector<std::string> answers;
    for (const json& request : c.requests) {
      if (request.contains("token"))
        fake_folder().write_scenario(name, request == PULL ? json{{"slots", json::array({empty_slot(1)})}} : inserted);
      else
        answers.push_back(handle_daemon_request(daemon, request.dump()));
    }
    const auto log = fake_folder().call_log(name);
    release_state(daemon);
    for (std::size_t i = 0; i < answers.size(); ++i) {
      if (c.expected[i] == OK) {
        EXPECT_NE(answers[i].find(R"("ok":true)"), std::string::npos) << answers[i];
      } else if (c.expected[i] == ANNA_ALONE) {
        EXPECT_EQ(json::parse(answers[i]).at("certs").size(), 1u) << answers[i];
        EXPECT_NE(answers[i].find(anna), std::string::npos) << answers[i];
      } else
        EXPECT_EQ(answers[i], c.expected[i]);
    }
    if (c.token_untouched) {
      EXPECT_TRUE(log.empty());
    }
    EXPECT_EQ(script.screens.empty() ? 0 : script.screens.front().rows.size(), c.rows);
    ASSERT_EQ(script.nothing_screens.size(), c.nothing_shown);
    for (const platform::PickerScreen& nothing : script.nothing_screens)
      EXPECT_EQ(nothing.description, site + " asks you to choose a certificate.\nNo certificate on the connected tokens "
                                            "can be used here. Insert your token and choose Try again.");
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
    EXPECT_EQ(screen.rows[0].key, "EC P-256, for signing, for logging in");
    EXPECT_EQ(screen.rows[0].unusable, "");
    // Signing certificates first: the expired one, for neither, comes last.
    if (c.rows >= 2) {
      EXPECT_EQ(screen.rows.back().unusable, "expired on 2002-01-01");
      EXPECT_EQ(screen.rows.back().key, "EC P-384, not for signatures");
    }
    if (c.rows == 3 && !c.second_signer) {
      EXPECT_EQ(screen.rows[1].unusable, "valid only from 2090-01-01");
      EXPECT_EQ(screen.rows[1].key, "RSA 2048, for signing, for logging in, no private key on the token");
    }
  }
}

// Which rule a caller is held to: an application learns of every certificate, a browser's
// site of only what its user chose for it unless the deployer allows listing, and the
// deployer's RequireCertChoice wins over that.
TEST(ChooseCert, TheDeployersSettingsDecideWhatASiteMayLearn) {
  using enum CertAccess;
  struct Case {
    bool browser, choice_required, listing_allowed;
    CertAccess access;
  };
  for (const Case& c : {Case{false, true, true, All}, Case{true, false, false, ChosenOnly}, Case{true, false, true, All},
                        Case{true, true, false, ChoiceRequired}, Case{true, true, true, ChoiceRequired}})
    EXPECT_EQ(cert_access(c.browser, c.choice_required, c.listing_allowed), c.access)
        << c.browser << c.choice_required << c.listing_allowed;
}

}  // namespace
}  // namespace p11agent
