// Request parsing, answer writing, the hash decoder and the text rules of the intake.
#include <gtest/gtest.h>

#include "text/encoding.h"
#include "text/shown_text.h"
#include "text/utf8.h"
#include "wire/hash_hex.h"
#include "wire/request.h"
#include "wire/request_checks.h"
#include "wire/response.h"

namespace p11agent {
namespace {

struct ParseFailure {
  std::string input;
  std::string message;
};

TEST(ParseRequest, RejectsMalformedRequestsWithMessageAndPosition) {
  const std::vector<ParseFailure> cases = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"{\"cmd\":5}", "invalid type: integer `5`, expected a string at line 1 column 8"},
      {"{\"cmd\":-7}", "invalid type: integer `-7`, expected a string at line 1 column 9"},
      {"{\"cmd\":1.5}", "invalid type: floating point `1.5`, expected a string at line 1 column 10"},
      {"{\"cmd\":1e3}", "invalid type: floating point `1000.0`, expected a string at line 1 column 10"},
      {"{\"cmd\":1e20}", "invalid type: floating point `1e20`, expected a string at line 1 column 11"},
      {"{\"cmd\":true}", "invalid type: boolean `true`, expected a string at line 1 column 11"},
      {"{\"cmd\":null}", "invalid type: null, expected a string at line 1 column 11"},
      {"{\"cmd\":[1]}", "invalid type: sequence, expected a string at line 1 column 7"},
      {"{\"cmd\":{}}", "invalid type: map, expected a string at line 1 column 7"},
      // A PIN of the wrong type is named by its type, never shown.
      {"{\"cmd\":\"x\",\"pin\":7}", "invalid type: integer, expected a string at line 1 column 18"},
      {"{\"cmd\":\"x\",\"pin\":1.5}", "invalid type: floating point, expected a string at line 1 column 20"},
      {"{\"cmd\":\"x\",\"pin\":true}", "invalid type: boolean, expected a string at line 1 column 21"},
      {"[\"x\",null,null,null,918273]", "invalid type: integer, expected a string at line 1 column 26"},
      {"\"x\"", "invalid type: string \"x\", expected struct Request at line 1 column 3"},
      {"\"a\\\"b\\n\"", "invalid type: string \"a\\\"b\\n\", expected struct Request at line 1 column 8"},
      {"12", "invalid type: integer `12`, expected struct Request at line 1 column 2"},
      {"null", "invalid type: null, expected struct Request at line 1 column 4"},
      {"{\"cmd\":\"sign\",\"module\":\"a\",\"module\":\"b\"}", "duplicate field `module` at line 1 column 35"},
      {"{\"cmd\":\"x\",\"pin\":null,\"pin\":\"1\"}", "duplicate field `pin` at line 1 column 27"},
      {"{\"module\":\"x\"}", "missing field `cmd` at line 1 column 14"},
      {"{}", "missing field `cmd` at line 1 column 2"},
      {"[]", "invalid length 0, expected struct Request with 5 elements at line 1 column 2"},
      {"[\"a\",null,null,null,null,null]", "trailing characters at line 1 column 26"},
      {"{\"cmd\":\"a\",\"pin_prompt\":\"yes\"}", "invalid type: string \"yes\", expected a boolean at line 1 column 29"},
      {"{\"cmd\":\"a\",\"pin_prompt\":1}", "invalid type: integer `1`, expected a boolean at line 1 column 25"},
      {"{\"cmd\":\"a\",\"pin_prompt\":tru}", "expected ident at line 1 column 28"},
      {"{\"cmd\":\"a\",\"details\":1}", "invalid type: integer `1`, expected a boolean at line 1 column 22"},
      {"{\"cmd\":\"a\",\"filter\":[]}", "invalid type: sequence, expected a map at line 1 column 20"},
      {"{\"cmd\":\"a\",\"filter\":{\"eku\":[}}", "expected value at line 1 column 29"},
      {"{\"cmd\":\"a\",\"origin\":5}", "invalid type: integer `5`, expected a string at line 1 column 21"},
      {"{\"cmd\":\"a\",\"origin\":\"x\",\"origin\":\"y\"}", "duplicate field `origin` at line 1 column 32"},
      {"[\"a\",]", "trailing comma at line 1 column 6"},
      {"{\"cmd\":\"a\",}", "trailing comma at line 1 column 12"},
      {"{\"cmd\":\"a\"} x", "trailing characters at line 1 column 13"},
      {"{\"cmd\":\"a\"", "EOF while parsing an object at line 1 column 10"},
      {"[\"a\"", "EOF while parsing a list at line 1 column 4"},
      {"{\"cmd\":\"a", "EOF while parsing a string at line 1 column 9"},
      {"{\"cmd\" \"a\"}", "expected `:` at line 1 column 8"},
      {"{\"cmd\":\"a\" \"b\"}", "expected `,` or `}` at line 1 column 12"},
      {"[\"a\" \"b\"]", "expected `,` or `]` at line 1 column 6"},
      {"{5:1}", "key must be a string at line 1 column 2"},
      {"{\"cmd\":nul}", "expected ident at line 1 column 11"},
      {"{\"cmd\":\"a\",\"x\":tru}", "expected ident at line 1 column 19"},
      {"{\"cmd\":x}", "expected value at line 1 column 8"},
      {"{\"cmd\":\"a\",\"x\":[1,]}", "expected value at line 1 column 19"},
      {"{\"cmd\":\"a\",\"x\":{\"k\":1,}}", "key must be a string at line 1 column 23"},
      {"{\"cmd\":\"a\",\"x\":[", "EOF while parsing a list at line 1 column 16"},
      {"{\"cmd\":01}", "invalid number at line 1 column 9"},
      {"{\"cmd\":1.}", "invalid number at line 1 column 10"},
      {"{\"cmd\":1e400}", "number out of range at line 1 column 12"},
      {"{\"cmd\":-}", "invalid number at line 1 column 9"},
      {"{\"cmd\":\"\\q\"}", "invalid escape at line 1 column 10"},
      {"{\"cmd\":\"\\u12g4\"}", "invalid escape at line 1 column 13"},
      {"{\"cmd\":\"\\udc00\"}", "lone leading surrogate in hex escape at line 1 column 14"},
      {"{\"cmd\":\"\\ud800x\"}", "unexpected end of hex escape at line 1 column 15"},
      {"{\"cmd\":\"\\ud800\\u0041\"}", "lone leading surrogate in hex escape at line 1 column 20"},
      {"{\"cmd\":\"a\tb\"}", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 10"},
      {"{\"cmd\":\"a\nb\"}", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
      {"{\n\"cmd\":5}", "invalid type: integer `5`, expected a string at line 2 column 7"},
      {"{\"cmd\":\"\xc3\xa9\xc3\xa9\" x", "expected `,` or `}` at line 1 column 13"},
      {"\xef\xbb\xbf{\"cmd\":\"x\"}", "expected value at line 1 column 1"},
  };
  for (const auto& c : cases) {
    auto parsed = parse_request(c.input);
    ASSERT_FALSE(parsed.has_value()) << c.input;
    EXPECT_EQ(parsed.error(), c.message) << c.input;
  }
}

std::string nested(int levels) { return std::string(levels, '[') + std::string(levels, ']'); }

TEST(ParseRequest, CountsNestingWithTheRequestAsFirstLevel) {
  // The request object is level 1, so its member may open 126 more levels.
  auto accepted = parse_request("{\"cmd\":\"x\",\"deep\":" + nested(126) + "}");
  ASSERT_TRUE(accepted.has_value()) << accepted.error();
  auto refused = parse_request("{\"cmd\":\"x\",\"deep\":" + nested(127) + "}");
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(), "recursion limit exceeded at line 1 column 145");
}

TEST(ParseRequest, AcceptsObjectAndArrayForms) {
  struct Case {
    std::string input;
    Request expected;
  };
  const std::vector<Case> cases = {
      {"{\"cmd\":\"list_certs\"}", {"list_certs", {}, {}, {}, {}}},
      {"{\"cmd\":\"list_certs\",\"module\":null}", {"list_certs", {}, {}, {}, {}}},
      {"{\"cmd\":\"list_certs\",\"extra\":{\"a\":[1,2]},\"extra\":1e999}", {"list_certs", {}, {}, {}, {}}},
      {"[\"list_certs\"]", {"list_certs", {}, {}, {}, {}}},
      {"[\"sign\",\"m\",\"T\",\" 0a \",\"1\"]", {"sign", "m", "T", " 0a ", "1"}},
      {"[\"sign\",null,\"t\"]", {"sign", {}, "t", {}, {}}},
      {"{\"pin\":\"\\u00e9\\ud83d\\ude00\\/\",\"cmd\":\"\"}", {"", {}, {}, {}, "\xc3\xa9\xf0\x9f\x98\x80/"}},
      {" \t{\"cmd\" : \"a\" }\r\n", {"a", {}, {}, {}, {}}},
      {"{\"cmd\":\"sign\",\"pin_prompt\":true,\"origin\":\"https://a.example\"}",
       {"sign", {}, {}, {}, {}, "https://a.example", true}},
      {"{\"cmd\":\"sign\",\"pin_prompt\":false,\"origin\":null}", {"sign", {}, {}, {}, {}, {}, false}},
      {"{\"cmd\":\"sign\",\"pin_prompt\":null}", {"sign", {}, {}, {}, {}, {}, false}},
      {"{\"cmd\":\"list_certs\",\"details\":true,\"filter\": {\"eku\": [\"1.2\"]} }",
       {"list_certs", {}, {}, {}, {}, {}, false, true, "{\"eku\": [\"1.2\"]}"}},
      {"{\"cmd\":\"list_certs\",\"details\":null,\"filter\":null}", {"list_certs", {}, {}, {}, {}}},
  };
  for (const auto& c : cases) {
    auto parsed = parse_request(c.input);
    ASSERT_TRUE(parsed.has_value()) << c.input << ": " << parsed.error();
    EXPECT_EQ(parsed->cmd, c.expected.cmd) << c.input;
    EXPECT_EQ(parsed->module, c.expected.module) << c.input;
    EXPECT_EQ(parsed->thumbprint, c.expected.thumbprint) << c.input;
    EXPECT_EQ(parsed->hash_hex, c.expected.hash_hex) << c.input;
    EXPECT_EQ(parsed->pin, c.expected.pin) << c.input;
    EXPECT_EQ(parsed->origin, c.expected.origin) << c.input;
    EXPECT_EQ(parsed->pin_prompt, c.expected.pin_prompt) << c.input;
    EXPECT_EQ(parsed->details, c.expected.details) << c.input;
    EXPECT_EQ(parsed->filter, c.expected.filter) << c.input;
  }
}

TEST(Response, WritesMembersInByteOrderAtEveryLevel) {
  Json sign{{"signature_hex", "ab"}, {"ok", true}, {"module", "m"}, {"cert_der_b64", "AA=="}};
  EXPECT_EQ(render_json(sign), R"({"cert_der_b64":"AA==","module":"m","ok":true,"signature_hex":"ab"})");
  Json nested{{"ok", true},
              {"certs", Json::array({Json{{"token_serial", "s"}, {"der_b64", ""}, {"module", "m"}, {"Z", 1}}})}};
  EXPECT_EQ(render_json(nested), R"({"certs":[{"Z":1,"der_b64":"","module":"m","token_serial":"s"}],"ok":true})");
}

TEST(Response, EscapesOnlyWhatJsonRequires) {
  std::string every_control;
  for (int c = 0; c < 0x20; ++c) every_control += static_cast<char>(c);
  EXPECT_EQ(error_response_text(every_control),
            "{\"error\":\"\\u0000\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\b\\t\\n\\u000b\\f\\r"
            "\\u000e\\u000f\\u0010\\u0011\\u0012\\u0013\\u0014\\u0015\\u0016\\u0017\\u0018\\u0019\\u001a"
            "\\u001b\\u001c\\u001d\\u001e\\u001f\",\"ok\":false}");
  EXPECT_EQ(error_response_text("a\"b\\c/d\x7f\xc3\xa9\xe2\x80\x9c"),
            "{\"error\":\"a\\\"b\\\\c/d\x7f\xc3\xa9\xe2\x80\x9c\",\"ok\":false}");
}

TEST(DecodeHashHex, DecodesOrNamesTheFirstProblem) {
  struct Case {
    std::string input;
    std::string hex_or_error;
    bool ok;
  };
  const std::vector<Case> cases = {
      {"", "", true},
      {"   ", "", true},
      {" 0A0b ", "0a0b", true},
      {"\xe3\x80\x80" "ff\xc2\xa0", "ff", true},
      {"abc", "Odd number of digits", false},
      {"zzz", "Odd number of digits", false},
      {"0g", "Invalid character 'g' at position 1", false},
      {"zz", "Invalid character 'z' at position 0", false},
      {"0'", "Invalid character '\\'' at position 1", false},
      {"0\x01", "Invalid character '\\u{1}' at position 1", false},
      {"\xc3\xa9", "Invalid character '\xc3\x83' at position 0", false},
      {"00 1", "Invalid character ' ' at position 2", false},
  };
  for (const auto& c : cases) {
    auto decoded = decode_hash_hex(c.input);
    ASSERT_EQ(decoded.has_value(), c.ok) << c.input;
    EXPECT_EQ(c.ok ? hex_encode(*decoded) : decoded.error(), c.hex_or_error) << c.input;
  }
  EXPECT_EQ(decode_hash_hex(std::string(1 << 20, '7'))->size(), std::size_t{1} << 19);
}

TEST(Encoding, Base64PadsToFourCharacters) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"\xfb\xff", "+/8="}};
  for (const auto& [plain, encoded] : cases)
    EXPECT_EQ(base64_encode({reinterpret_cast<const std::uint8_t*>(plain.data()), plain.size()}), encoded);
}

TEST(Text, TrimsUnicodeWhiteSpaceButNotTheByteOrderMark) {
  EXPECT_EQ(trim_white_space("\xe2\x80\xa8 \t\x0b\xc2\x85x y\xe3\x80\x80\xe2\x80\x8a"), "x y");
  EXPECT_EQ(trim_white_space("\xef\xbb\xbfx"), "\xef\xbb\xbfx");
  EXPECT_EQ(trim_white_space("\xe2\x80\x8b"), "\xe2\x80\x8b");  // zero width space is not white space
}

TEST(Text, ValidatesAndRepairsUtf8) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"abc", "abc"},
      {"\xc3\xa9", "\xc3\xa9"},
      {"\xff", "\xef\xbf\xbd"},
      {"\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd"},                      // overlong
      {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},      // surrogate
      {"\xe2\x82", "\xef\xbf\xbd"},                                   // cut short: one maximal subpart
      {"a\xf4\x90\x80\x80z", "a\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbdz"},  // above U+10FFFF
  };
  for (const auto& [raw, repaired] : cases) {
    EXPECT_EQ(decode_utf8_lossy({reinterpret_cast<const std::uint8_t*>(raw.data()), raw.size()}), repaired);
    EXPECT_EQ(is_valid_utf8(raw), raw == repaired);
  }
}

// A site is named in the prompt as the origin says: only a web origin is taken, so no
// origin can add a line or a look-alike of its own.
TEST(CheckOrigin, TakesOnlyWebOrigins) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"https://shop.example", true},
      {"https://shop.example:8443", true},
      {"https://[2001:db8::1]", true},
      {"http://127.0.0.1:8080", true},
      {"http://localhost", true},
      {"http://app.localhost:3000", true},
      {"http://[::1]:80", true},
      {"chrome-extension://knldjmfmopnpolahpmmgbagdohdnhkik", true},
      {"moz-extension://2b5c1c6e-64ab-4f31-9a3e-5c0f8c1e7d10", true},
      {"https://portal.example\nSigning for: https://bank.example", false},
      {"https://portal.example/path", false},
      {"https://bank.example\u202e", false},
      {"http://shop.example", false},     // http for a loopback host only
      {"http://127.evil.example", false},
      {"http://evillocalhost", false},
      {"http://localhost.evil.example", false},
      {"https://shop.example:0", false},
      {"https://shop.example:65536", false},
      {"https://shop.example:", false},
      {"https://", false},
      {"https://a..b", false},
      {"chrome-extension://knldjmfmopnpolahpmmgbagdohdnhkik:1", false},
      {"file:///etc/passwd", false},
      {"null", false},
      {"", false},
  };
  for (const auto& [origin, taken] : cases) {
    Request request;
    request.origin = origin;
    EXPECT_EQ(check_origin(request).has_value(), taken) << origin;
  }
  EXPECT_TRUE(check_origin(Request{}));
}

// An authentication's origin in the serialized form the site's server compares (scheme and
// host lower-cased, a non-ASCII host in Punycode, no default port, no path or slash), https
// only but for a developer's own machine; its nonce 44 to 128 Base64 characters.
TEST(CheckLoginRequest, SerializesTheOriginAndTakesOnlyANonceOfBase64) {
  const std::string NONCE(44, 'A');
  const std::string ORIGIN_REFUSED = "invalid request: authenticate needs an https origin";
  const std::string NONCE_REFUSED = "invalid request: challenge_nonce must be 44 to 128 Base64 characters";
  struct Case {
    std::optional<std::string> origin;
    std::optional<std::string> nonce;
    std::string expected;  // the serialized origin, or the refusal
  };
  const std::vector<Case> cases = {
      {"https://portal.example", NONCE, "https://portal.example"},
      {"HTTPS://Portal.EXAMPLE:443", NONCE, "https://portal.example"},
      {"https://portal.example:8443", NONCE, "https://portal.example:8443"},
      {"https://portal.example:08443", NONCE, "https://portal.example:8443"},
      {"https://b\u00fccher.example", NONCE, "https://xn--bcher-kva.example"},
      {"https://\u043f\u0440\u0438\u043c\u0435\u0440.\u0438\u0441\u043f\u044b\u0442\u0430\u043d\u0438\u0435", NONCE,
       "https://xn--e1afmkfd.xn--80akhbyknj4f"},
      {"http://localhost:3000", NONCE, "http://localhost:3000"},
      {"http://127.0.0.1:80", NONCE, "http://127.0.0.1"},
      {"https://[2001:DB8::1]:443", NONCE, "https://[2001:db8::1]"},
      {"https://portal.example/", NONCE, ORIGIN_REFUSED},
      {"https://portal.example/login", NONCE, ORIGIN_REFUSED},
      {"http://portal.example", NONCE, ORIGIN_REFUSED},
      {"http://app.localhost", NONCE, ORIGIN_REFUSED},
      {"chrome-extension://knldjmfmopnpolahpmmgbagdohdnhkik", NONCE, ORIGIN_REFUSED},
      {"https://portal.example\nhttps://bank.example", NONCE, ORIGIN_REFUSED},
      {"https://a..b", NONCE, ORIGIN_REFUSED},
      {"https://bad\xff.example", NONCE, ORIGIN_REFUSED},
      {std::nullopt, NONCE, ORIGIN_REFUSED},
      {"https://portal.example", std::string(128, 'z'), "https://portal.example"},
      {"https://portal.example", "0123456789+/=-_abcdefghijklmnopqrstuvwxyzABCDE", "https://portal.example"},
      {"https://portal.example", std::string(43, 'A'), NONCE_REFUSED},
      {"https://portal.example", std::string(129, 'A'), NONCE_REFUSED},
      {"https://portal.example", std::string(43, 'A') + " ", NONCE_REFUSED},
      {"https://portal.example", std::string(43, 'A') + ".", NONCE_REFUSED},
      {"https://portal.example", std::string(43, 'A') + "\u00e9", NONCE_REFUSED},
      {"https://portal.example", std::nullopt, NONCE_REFUSED},
  };
  for (const Case& c : cases) {
    Request request;
    request.cmd = "authenticate";
    request.origin = c.origin;
    request.challenge_nonce = c.nonce;
    // The general check leaves an authentication's origin to its own.
    EXPECT_TRUE(check_origin(request));
    auto fields = check_login_request(request);
    EXPECT_EQ(fields ? fields->origin : fields.error(), c.expected) << c.origin.value_or("<none>");
    if (fields) {
      EXPECT_EQ(fields->nonce, *c.nonce);
    }
  }
}

// What acts on the layout around it is shown as a visible escape; text is cut at a
// character, never inside one, and says that it was.
TEST(ShownText, EscapesWhatActsOnTheLayoutAndCutsAtACharacter) {
  EXPECT_EQ(shown_text("a\u202Eb\u2066\u200B\u2028\t\x1b\xc2\x9b\xff\U000E0041"),
            "a<U+202E>b<U+2066><U+200B><U+2028><U+0009><U+001B><U+009B>\uFFFD<U+E0041>");
  EXPECT_EQ(shown_text("\u0416 & 100%"), "\u0416 & 100%");
  EXPECT_EQ(cut_text("\u0416\u0416\u0416", 6), "\u0416\u0416\u0416");
  EXPECT_EQ(cut_text("\u0416\u0416\u0416", 5), "\u0416\u2026");
  EXPECT_EQ(cut_text("abcdef", 4), "a\u2026");
}

}  // namespace
}  // namespace p11agent
