// Token access on the fake module: error texts, loading, slots, objects, listings, and a
// module that lies.
#include <gtest/gtest.h>

#ifndef _WIN32
#include "system/late_libraries_posix.h"
#endif
#include "system/digest.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <tuple>

#include "support/agent.h"
#include "support/fake_token.h"
#include "support/host_server.h"
#include "sign/pin_prompt.h"
#include "token/certificate.h"
#include "token/mechanisms.h"
#include "token/module_host.h"
#ifndef _WIN32
#define P11_KIT_FUTURE_UNSTABLE_API
#include <p11-kit/p11-kit.h>
#include <unistd.h>

#include "token/module_registry.h"
#endif
#include "token/token_certs.h"

namespace p11agent {
namespace {

using namespace testing_support;

TEST(DescribeRv, GivesTheStandardTextsAndFallsBackToTheGeneralError) {
  const std::string general =
      "Some horrible, unrecoverable error has occurred.  In the worst case, it is possible that the function only "
      "partially succeeded, and that the computer and/or token is in an inconsistent state.";
  const std::vector<std::pair<CK_RV, std::string>> cases = {
      {CKR_GENERAL_ERROR, general},
      {0x80000001UL, general},
      {0x4UL, general},  // no value of its own
      {0x80000000UL, "CKR_VENDOR_DEFINED"},
      {CKR_NEW_PIN_MODE, "CKR_NEW_PIN_MODE"},
      {CKR_NEXT_OTP, "CKR_NEXT_OTP"},
      {CKR_TOKEN_NOT_PRESENT, "The token was not present in its slot at the time that the function was invoked."},
      {CKR_FUNCTION_REJECTED, "The signature request is rejected by the user."},
      {CKR_PIN_LOCKED,
       "The specified PIN is \xe2\x80\x9clocked\xe2\x80\x9d, and cannot be used.  That is, because some particular "
       "number of failed authentication attempts has been reached, the token is unwilling to permit further attempts "
       "at authentication.  Depending on the token, the specified PIN may or may not remain locked indefinitely."},
  };
  for (const auto& [rv, text] : cases) EXPECT_EQ(describe_rv(rv), text) << std::hex << rv;
  EXPECT_EQ(describe_rv(CKR_ACTION_PROHIBITED).substr(0, 1), " ");
  EXPECT_EQ(describe_rv(CKR_CURVE_NOT_SUPPORTED).substr(0, 1), " ");
}

TEST(DescribeRv, UsesTheLoginWordsOnlyForPinAndLoginStates) {
  const std::vector<CK_RV> carriers = {CKR_PIN_INCORRECT, CKR_PIN_LOCKED, CKR_MUTEX_NOT_LOCKED,
                                       CKR_USER_ALREADY_LOGGED_IN, CKR_USER_ANOTHER_ALREADY_LOGGED_IN};
  int described = 0;
  for (CK_RV rv = 0; rv < 0x300; ++rv) {
    std::string text = describe_rv(rv);
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    bool has_word = text.find("incorrect") != std::string::npos || text.find("locked") != std::string::npos ||
                    text.find("already logged") != std::string::npos;
    bool carrier = std::find(carriers.begin(), carriers.end(), rv) != carriers.end();
    EXPECT_EQ(has_word, carrier) << std::hex << rv;
    if (describe_rv(rv) != describe_rv(CKR_GENERAL_ERROR)) ++described;
  }
  EXPECT_EQ(described, 92);
}

TEST(Pkcs11ErrorText, RendersEveryKind) {
  using Kind = Pkcs11Error::Kind;
  EXPECT_EQ(Pkcs11Error::returned("Login", CKR_TOKEN_NOT_PRESENT).text(),
            "Function::Login: PKCS11 error: " + describe_rv(CKR_TOKEN_NOT_PRESENT));
  EXPECT_EQ(Pkcs11Error::of(Kind::NullFunction).text(), "Calling a NULL function pointer");
  EXPECT_EQ(Pkcs11Error::of(Kind::IntegerConversion).text(),
            "Conversion between integers failed (out of range integral type conversion attempted)");
  EXPECT_EQ(Pkcs11Error::of(Kind::SliceConversion).text(),
            "Error converting slice to array (could not convert slice to array)");
  EXPECT_EQ(Pkcs11Error::of(Kind::AlreadyInitialized).text(), "PKCS11 library has already been initialized");
  // A module host's stand-in answers: the bound it missed, or its end; never a module's value.
  EXPECT_EQ(Pkcs11Error::of_host(HOST_NO_ANSWER_RV | 20)->text(), "the module did not answer within 20 s");
  EXPECT_EQ(Pkcs11Error::of_host(HOST_ENDED_RV)->text(), "the module ended unexpectedly");
  EXPECT_FALSE(Pkcs11Error::of_host(HOST_MASKED_RV));
#ifdef _WIN32
  EXPECT_EQ(Pkcs11Error::of(Kind::LoadFailed).text(), "libloading error (LoadLibraryExW failed)");
  EXPECT_EQ(Pkcs11Error::of(Kind::LoadFailedUnreported).text(),
            "libloading error (LoadLibraryExW failed, but system did not report the error)");
#endif
}

#ifndef _WIN32
// Bytes from a module host that are not a well-formed answer (a crash report printed where
// the answer goes, a broken host) are the host's end, never an answer; silence is waited
// for only up to the bound; a host of another build says so rather than being misread.
// Each stand-in then lingers for a minute: an agent that waited for it rather than for its
// bound would take half of that at least, far beyond a busy machine's delays.
TEST(ModuleHostAnswers, AnythingButAnAnswerIsTheHostsEnd) {
  const std::string ended = Pkcs11Error::of(Pkcs11Error::Kind::HostEnded).text();
  struct Case {
    const char* name;
    const char* host;  // what the stand-in host does with its answer descriptor (4)
    std::string error;
  };
  const std::vector<Case> cases = {
      {"text", "printf 'Unhandled page fault at 0000000000000000, starting debugger' >&4; exec sleep 60", ended},
      {"a frame of 80 MiB and more", "printf '\\377\\377\\377\\377' >&4; exec sleep 60", ended},
      {"a frame without the mark", "printf '\\010\\0\\0\\0abcdefgh' >&4; exec sleep 60", ended},
      {"an exit", "exit 0", ended},
      {"a host of another version", "printf '\\030\\0\\0\\0rwsna11prhto\\0\\0\\0\\0\\001\\0\\0\\0\\0\\0\\0\\0' >&4; exec sleep 60",
       "the module's host is another build of p11agent (its messages are version 1, this agent's " +
           std::to_string(host_protocol::VERSION) + "): restart the agent"},
      {"silence", "exec sleep 60", "the module did not answer within 1 s"},
  };
  const std::string script = (std::filesystem::temp_directory_path() / "p11agent-stand-in-host").string();
  for (const Case& c : cases) {
    std::filesystem::remove(script);
    std::ofstream(script) << "#!/bin/sh\n" << c.host << "\n";
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    use_module_hosts(ModuleHosting{script, std::chrono::seconds(1)});
    const auto start = std::chrono::steady_clock::now();
    auto host = ModuleHost::start("/no/such/module.so", "", std::chrono::seconds(1));
    use_module_hosts(std::nullopt);
    ASSERT_FALSE(host) << c.name;
    EXPECT_EQ(host.error().text(), c.error) << c.name;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << c.name;
  }
  std::filesystem::remove(script);
}

// The modules p11-kit registers for its proxy: SoftHSM2's is one; p11-kit's own trust
// module, which the proxy leaves out, is not.
TEST(RegisteredModules, AreTheModulesTheProxyTakes) {
  const auto modules = registered_modules();
  auto listed = [&](const std::string& file) {
    return std::any_of(modules.begin(), modules.end(), [&](const std::string& path) { return path.ends_with(file); });
  };
  EXPECT_TRUE(listed("/libsofthsm2.so"));
  EXPECT_FALSE(listed("/p11-kit-trust.so"));
}

// The agent reads p11-kit's configuration without loading a module; p11-kit loads every
// module to answer. On the same configuration both name the same modules in the same order.
TEST(RegisteredModules, AreWhatP11KitItselfAnswers) {
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("p11agent-registry-" + std::to_string(getpid()));
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;  // path under root, text
  };
  const std::vector<Case> cases = {
      {"priority first, then name",
       {{"package/b.module", "module: @b"}, {"package/a.module", "module: @a"},
        {"package/c.module", "priority: 2\nmodule: @c"}}},
      {"the system's configuration of a name wins, the package's fills in",
       {{"package/a.module", "module: @a\ndisable-in: p11-kit-proxy"}, {"system/a.module", "module: @b"},
        {"package/c.module", "module: @c"}, {"system/c.module", "# nothing but a comment"}}},
      {"enable-in and disable-in name the proxy",
       {{"package/a.module", "module: @a\nenable-in: p11-kit-proxy, other"}, {"package/b.module", "module: @b\nenable-in: other"},
        {"package/c.module", "module: @c\ndisable-in: other p11-kit-proxy"}}},
      {"no module, or a file named otherwise",
       {{"package/a.module", "priority: 5"}, {"package/b.conf", "module: @b"}, {"package/c.module", "  module :  @c  "}}},
      {"the user's configuration, unless turned off",
       {{"user/a.module", "module: @a"}, {"system/b.module", "module: @b"}, {"user/b.module", "disable-in: p11-kit-proxy"}}},
      {"user-config none", {{"pkcs11.conf", "user-config: none"}, {"user/a.module", "module: @a"}, {"system/b.module", "module: @b"}}},
      {"a key given twice: the last one", {{"package/a.module", "module: @a\nmodule: @b"}, {"package/c.module", "module: @c"}}},
      {"a malformed line", {{"package/a.module", "module: @a\nnot an option"}, {"package/b.module", "module: @b"}}},
      {"a malformed line in the user's file", {{"user/a.module", "module: @a\n[section]"}, {"system/b.module", "module: @b"}}},
      {"a priority past every number",
       {{"package/a.module", "module: @a\npriority: 99999999999999999999"}, {"package/b.module", "module: @b\npriority: 3"},
        {"package/c.module", "module: @c\npriority: -99999999999999999999"}}},
      {"a priority with words after it", {{"package/a.module", "module: @a\npriority: 2x"}, {"package/b.module", "module: @b\npriority: 1"}}},
  };
  // Modules p11-kit can load: copies of the fake module, one file each, whose call logs go
  // to a folder of the test's.
  const FakeModuleFolder logs;
  fs::create_directories(root / "lib");
  for (const char* name : {"a", "b", "c"}) fs::copy_file(fake_module_path(), root / "lib" / (std::string(name) + ".so"));
  // p11-kit keeps the very strings it is pointed at for the rest of the process.
  static std::optional<ModuleRegistryPlaces> kept;
  const auto& places = kept.emplace(ModuleRegistryPlaces{
      (root / "pkcs11.conf").string(), (root / "user.conf").string(), (root / "user").string(),
      (root / "system").string(), (root / "package").string(), (root / "lib").string(), geteuid() != 0});
  p11_kit_set_progname("p11-kit-proxy");
  p11_kit_override_system_files(places.global_config.c_str(), places.user_config.c_str(), places.package_dir.c_str(),
                                places.system_dir.c_str(), places.user_dir.c_str());
  for (const Case& c : cases) {
    for (const char* folder : {"package", "system", "user"}) fs::remove_all(root / folder), fs::create_directories(root / folder);
    fs::remove(root / "pkcs11.conf");
    for (const auto& [path, text] : c.files) {
      std::string body = text;
      for (std::size_t at; (at = body.find('@')) != std::string::npos;)
        body.replace(at, 2, (root / "lib" / body.substr(at + 1, 1)).string() + ".so");
      std::ofstream(root / path) << body << "\n";
    }
    std::vector<std::string> p11kit;
    CK_FUNCTION_LIST** modules = p11_kit_modules_load(nullptr, P11_KIT_MODULE_UNMANAGED);
    for (CK_FUNCTION_LIST** module = modules; modules != nullptr && *module != nullptr; ++module) {
      char* file = p11_kit_module_get_filename(*module);
      p11kit.emplace_back(file);
      std::free(file);
    }
    if (modules != nullptr) p11_kit_modules_release(modules);
    std::vector<std::string> ours;
    for (const std::string& path : modules_registered_in(places)) ours.push_back(fs::path(path).lexically_normal().string());
    for (std::string& path : p11kit) path = fs::path(path).lexically_normal().string();
    EXPECT_EQ(ours, p11kit) << c.name;
  }
  fs::remove_all(root);
}
#endif

TEST(CertSerialHex, WalksOnlyTheFirstHeaders) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {der_with_serial("008f3a"), "008f3a"},
      {"3000" "3000" "0203008f3a", "008f3a"},                 // no version, lengths not checked
      {"3080" "3081ff" "a0020000" "020101", "01"},            // long and indefinite-looking lengths
      {"30820000" "30840000" "0000" "0200", ""},              // zero-length serial
      {"31000000020101", ""},                                 // not a SEQUENCE
      {"3000" "3000" "0405", ""},                             // unexpected tag
      {"3000" "3000" "020501", ""},                           // serial runs past the end
      {"3000" "3000" "a0ff", ""},                             // version runs past the end
      {"3000" "3000" "02", ""},                               // length missing
      {"3000" "3000" "0289ffffffffffffffffff", ""},           // length wider than memory
      {"30", ""},
      {"", ""},
  };
  for (const auto& [der, serial] : cases) EXPECT_EQ(cert_serial_hex(hex_bytes(der)), serial) << der;
}

// Names are shown in the PIN prompt: read as written, decoded from the string types
// certificates use (surrogates paired or replaced), values escaped so that none passes for
// another attribute, and nothing that acts on the layout shown as itself.
TEST(CertNames, AreReadAsAPersonReadsThemAndCannotRewriteThePrompt) {
  const std::string bmp =  // CN "Żółw" and a pseudonym, as BMPStrings
    "3082014e3081f502147abaed95b221379f1f8c620116f022fccf118f30300a06082a8648ce3d040302302a3111300f06"
    "035504031e08017b00f3014200773115301306035504411e0c00700073006500750064006f301e170d32363132303830"
    "39303032395a170d3336313230353039303032395a302a3111300f06035504031e08017b00f301420077311530130603"
    "5504411e0c00700073006500750064006f3059301306072a8648ce3d020106082a8648ce3d03010703420004bb3032f2"
    "4750d9a12f6675042385ca4c73305b73776ead8a19bd131a3e50f1acb86ea81e1ae18351545827d8f465505880865070"
    "1598a556fbf79977a95aea1c300a06082a8648ce3d040302034800304502210089033dfe66da366065fc815ee6be49ee"
    "07d24d69c639d690edc942e28149cd3c02202152e8492bf790696c1380d8e92ef42265fe21f449e2bf5cd9d6fe03d97c"
    "5fd0";
  std::string control = NAMED_CERT_HEX;
  const std::size_t anna = control.find("416e6e6120");  // "Anna " in the subject
  control.replace(anna + 8, 2, "0a");
  const std::string issuer = "C=DE, O=Example Trust, CN=Example Signing CA";
  const std::string anna_subject = "CN=Anna M\u00fcller, O=M\u00fcller & S\u00f6hne\\, GmbH";
  auto subject_only = [&](const std::string& rdns) { return cert_named(utf8_attribute(CN, "CA"), rdns); };
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {NAMED_CERT_HEX, anna_subject, issuer},
      {bmp, "CN=\u017b\u00f3\u0142w, pseudonym=pseudo", "CN=\u017b\u00f3\u0142w, pseudonym=pseudo"},
      {control, "CN=Anna<U+000A>M\u00fcller, O=M\u00fcller & S\u00f6hne\\, GmbH", issuer},
      {subject_only(utf8_attribute(CN, "evil\u202Ecod.exe\u2066x\u2069\u200F\u061C")),
       "CN=evil<U+202E>cod.exe<U+2066>x<U+2069><U+200F><U+061C>", "CN=CA"},
      {subject_only(utf8_attribute(CN, "a\u0085b\u2028c\u2029d\x7f" "e\u00ad")),
       "CN=a<U+0085>b<U+2028>c<U+2029>d<U+007F>e<U+00AD>", "CN=CA"},
      {subject_only(utf8_attribute(CN, "Eve, O=Bank") + utf8_attribute(O, "#1 +2;<3>\"4\"\\ ")),
       "CN=Eve\\, O\\=Bank, O=\\#1 \\+2\\;\\<3\\>\\\"4\\\"\\\\\\ ", "CN=CA"},
      {subject_only(utf8_attribute(CN, " 100% sure")), "CN=\\ 100% sure", "CN=CA"},
      // BMPString: a pair makes one character, a lone half is replaced; UniversalString:
      // a surrogate value is replaced; an OCTET STRING is shown in RFC 4514's hex form.
      {subject_only(attribute(CN, "1e", "d83dde00" "d8000041" "dc00")), "CN=\U0001F600\uFFFDA\uFFFD", "CN=CA"},
      {subject_only(attribute(CN, "1c", "0000d800" "00000042" "00110000")), "CN=\uFFFDB\uFFFD", "CN=CA"},
      {subject_only(attribute(CN, "04", "0102")), "CN=#0102", "CN=CA"},
      {NAMED_CERT_HEX.substr(0, 200), "", issuer},  // cut inside the validity
      {NAMED_CERT_HEX.substr(0, 60), "", ""},       // cut inside the issuer
      {der_with_serial("01"), "", ""},
  };
  for (const auto& [cert, subject, issued_by] : cases) {
    const CertNames names = cert_names(hex_bytes(cert));
    EXPECT_EQ(name_text(names.subject), subject) << cert;
    EXPECT_EQ(name_text(names.issuer), issued_by) << cert;
  }
}

// The prompt shows a long name by a rule a person can follow: the common name first, then
// the organisation, then the rest; each value cut past its bound, the whole within its own.
TEST(PromptName, PutsTheHolderFirstAndStaysWithinItsBound) {
  const std::string cyrillic = "\u041f\u0435\u0442\u0440\u043e\u0432";  // 12 bytes
  std::string long_value;
  for (int i = 0; i < 20; ++i) long_value += cyrillic;  // 240 bytes
  std::string rdns = utf8_attribute(ORG_ID, "NTRUA-12345678") + utf8_attribute(O, "\u0422\u041e\u0412 " + cyrillic);
  for (int i = 0; i < 14; ++i) rdns += utf8_attribute(OU, cyrillic + " " + std::to_string(i));
  rdns += utf8_attribute(CN, long_value);
  const CertNames names = cert_names(hex_bytes(cert_named(rdns, rdns)));
  ASSERT_EQ(names.subject.size(), 17u);
  const std::string shown = prompt_name(names.subject, 300);
  EXPECT_LE(shown.size(), 300u);
  EXPECT_TRUE(shown.starts_with("CN=" + long_value.substr(0, 92) + "\u2026, O=\u0422\u041e\u0412 "))
      << shown;
  EXPECT_TRUE(shown.ends_with(", \u2026")) << shown;
  EXPECT_NE(shown.find("organizationIdentifier=NTRUA-12345678"), std::string::npos) << shown;
  // A short name is shown whole, in the same order.
  const CertNames small = cert_names(hex_bytes(NAMED_CERT_HEX));
  EXPECT_EQ(prompt_name(small.issuer, 180), "CN=Example Signing CA, O=Example Trust, C=DE");
  // The holder's name is shown however small the bound.
  EXPECT_EQ(prompt_name(small.issuer, 4), "CN=Example Signing CA, \u2026");
}

TEST(Thumbprint, IsLowercaseSha1OfTheDer) {
  EXPECT_EQ(thumbprint_of(Bytes{}).value(), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(thumbprint_of(hex_bytes("616263")).value(), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

#ifndef _WIN32
// The digests come from libnettle on Linux: each as libcrypto computes it, on the test
// certificates and on nothing.
TEST(Digests, AreLibcryptosOnTheTestCertificates) {
  const platform::LibCrypto* crypto = platform::libcrypto();
  ASSERT_NE(platform::libnettle(), nullptr);
  ASSERT_NE(crypto, nullptr);
  auto libcrypto_digest = [&](const char* name, const Bytes& data) {
    Bytes out(64);
    unsigned int length = 0;
    // Fetched once each and held to the end, as the agent holds its own.
    static const char* names[] = {"SHA1", "SHA256", "SHA384", "SHA512"};
    static EVP_MD* fetched[std::size(names)] = {};
    const std::size_t at = static_cast<std::size_t>(
        std::find_if(std::begin(names), std::end(names), [&](const char* known) { return std::strcmp(known, name) == 0; }) -
        std::begin(names));
    EVP_MD*& md = fetched[at];
    if (md == nullptr) md = crypto->EVP_MD_fetch(nullptr, name, nullptr);
    EXPECT_EQ(crypto->EVP_Digest(data.data(), data.size(), out.data(), &length, md, nullptr), 1);
    out.resize(length);
    return out;
  };
  for (const std::string* hex : {&NAMED_CERT_HEX, &SIGNING_P256_HEX, &LOGIN_RSA_HEX, &QC_SIGNING_HEX}) {
    for (const Bytes& data : {hex_bytes(*hex), Bytes{}}) {
      const auto sha1 = platform::sha1(data).value();
      EXPECT_EQ(Bytes(sha1.begin(), sha1.end()), libcrypto_digest("SHA1", data));
      const auto sha256 = platform::sha256(data).value();
      EXPECT_EQ(Bytes(sha256.begin(), sha256.end()), libcrypto_digest("SHA256", data));
      for (int bits : {256, 384, 512})
        EXPECT_EQ(platform::sha2(bits, data).value(), libcrypto_digest(("SHA" + std::to_string(bits)).c_str(), data)) << bits;
    }
  }
  EXPECT_FALSE(platform::sha2(224, {}));
}
#endif

class FakeModuleTest : public ::testing::Test {
 protected:
  std::string path = fake_module_path();
  std::string name = file_name_of(path);
  void scenario(const json& s) { fake_folder().write_scenario(name, s); }
  std::vector<std::string> log() { return fake_folder().call_log(name); }
};

TEST_F(FakeModuleTest, OpenModuleReportsEachStepWithItsPrefix) {
  struct Case {
    json scenario;
    std::string error;
  };
  const std::vector<Case> cases = {
      {{{"fail", json::array({failure("C_Initialize", CKR_CRYPTOKI_ALREADY_INITIALIZED)})}},
       "C_Initialize: Function::Initialize: PKCS11 error: " + describe_rv(CKR_CRYPTOKI_ALREADY_INITIALIZED)},
      {{{"fail", json::array({failure("C_GetFunctionList", CKR_HOST_MEMORY)})}},
       "load " + path + ": Function::GetFunctionList: PKCS11 error: " + describe_rv(CKR_HOST_MEMORY)},
      {{{"null", json::array({"C_Initialize"})}}, "C_Initialize: Calling a NULL function pointer"},
  };
  for (const auto& c : cases) {
    scenario(c.scenario);
    auto module = open_module(path);
    ASSERT_FALSE(module.has_value());
    EXPECT_EQ(module.error(), c.error);
  }
  // Refused as initialised already, the library is someone else's to finalise.
  scenario({{"fail", json::array({failure("C_Initialize", CKR_CRYPTOKI_ALREADY_INITIALIZED)})}});
  ASSERT_FALSE(open_module(path));
  EXPECT_EQ(calls_named(log(), {"C_Initialize", "C_Finalize"}), (std::vector<std::string>{"C_Initialize"}));
  // Any other failed initialisation is still finalised when the module is let go.
  scenario({{"fail", json::array({failure("C_Initialize", CKR_DEVICE_ERROR)})}});
  ASSERT_FALSE(open_module(path));
  EXPECT_EQ(calls_named(log(), {"C_Initialize", "C_Finalize"}), (std::vector<std::string>{"C_Initialize", "C_Finalize"}));
}

TEST_F(FakeModuleTest, LoadFailuresAreErrorsNotCrashes) {
  auto missing = load_module(fake_module_path("no_such_module"));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind, Pkcs11Error::Kind::LoadFailed);
  auto not_a_module = open_module(fake_module_path("fake_dependency"));
  ASSERT_FALSE(not_a_module);
  EXPECT_EQ(not_a_module.error(), "load " + fake_module_path("fake_dependency") +
                                      ": libloading error (the library does not export C_GetFunctionList)");
}

TEST_F(FakeModuleTest, SecondInitialisationOfOneLoadedModuleIsRefused) {
  scenario(json::object());
  auto module = open_module(path);
  ASSERT_TRUE(module);
  auto again = initialize_module(**module);
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().text(), "PKCS11 library has already been initialized");
}

TEST_F(FakeModuleTest, ListsCertificatesInSlotAndSearchOrderWithTheirKeys) {
  scenario({{"slots",
             {slot(7, token("First token", "SER1", {certificate("aa01", "01"), private_key("01"),
                                                      certificate("aa02", "02"), certificate("aa03", nullptr)})),
              empty_slot(8),
              slot(3, token("Second", "SER2", {certificate("bb01", nullptr), certificate("bb02", "")}))}}});
  auto certs = list_token_certs(path);
  ASSERT_TRUE(certs) << certs.error();
  struct Expected {
    std::string der_hex, label, serial;
    bool has_key;
  };
  const std::vector<Expected> expected = {
      {"aa01", "First token", "SER1", true},   // id matches a key id
      {"aa02", "First token", "SER1", false},  // id without a key
      {"aa03", "First token", "SER1", true},   // no id: any visible key counts
      {"bb01", "Second", "SER2", false},       // no id and no key
      {"bb02", "Second", "SER2", false},       // empty id, no key
  };
  ASSERT_EQ(certs->size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ((*certs)[i].der, hex_bytes(expected[i].der_hex)) << i;
    EXPECT_EQ((*certs)[i].token_label, expected[i].label) << i;
    EXPECT_EQ((*certs)[i].token_serial, expected[i].serial) << i;
    EXPECT_EQ((*certs)[i].has_private_key, expected[i].has_key) << i;
    EXPECT_EQ((*certs)[i].thumbprint, thumbprint_of(hex_bytes(expected[i].der_hex)).value()) << i;
    EXPECT_EQ((*certs)[i].module_path, path);
  }
  // Every session was closed before the module was finalised.
  auto order = calls_named(log(), {"C_OpenSession", "C_CloseSession", "C_Finalize"});
  EXPECT_EQ(order, (std::vector<std::string>{"C_OpenSession", "C_CloseSession", "C_OpenSession", "C_CloseSession",
                                             "C_Finalize"}));
}

TEST_F(FakeModuleTest, CleansTokenTextsAndSkipsWhatCannotBeRead) {
  json unreadable_value = certificate("cc01");
  unreadable_value["value_error"] = CKR_ATTRIBUTE_SENSITIVE;
  json failing_value = certificate("cc02");
  failing_value["value_error"] = CKR_DEVICE_ERROR;
  json oversized = certificate("cc04");
  oversized["value_length"] = (1 << 20) + 1;  // longer than any certificate a token holds
  json labelled = token("", "", {unreadable_value, failing_value, certificate("cc03"), oversized});
  labelled["label_hex"] = "20094e616d6520ff00202020";  // space, tab, "Name", space, invalid byte, NUL
  labelled["serial_hex"] = "c2a0313233c2a02020";       // no-break spaces stay
  scenario({{"slots", json::array({slot(1, labelled)})}});
  auto certs = list_token_certs(path);
  ASSERT_TRUE(certs) << certs.error();
  ASSERT_EQ(certs->size(), 1u);
  EXPECT_EQ(certs->front().der, hex_bytes("cc03"));
  EXPECT_EQ(certs->front().token_label, "Name \xef\xbf\xbd");
  EXPECT_EQ(certs->front().token_serial, "\xc2\xa0" "123\xc2\xa0");
}

// A module host gives one attribute no more room than the agent reads of one (1 MiB),
// whatever room a message asks for: a longer value is the module's CKR_BUFFER_TOO_SMALL,
// and nothing of it crosses. Driven as the agent's side of the pipe would.
TEST_F(FakeModuleTest, AHostGivesNoAttributeMoreRoomThanTheAgentReadsOfOne) {
  json oversized = certificate("cc04");
  oversized["value_length"] = (1 << 20) + 1;
  scenario({{"slots", json::array({slot(1, token("T", "S", {certificate("cc03"), oversized}))})}});
  using namespace host_protocol;
  ModuleHostServer host;
  auto ask = [&](Writer& request) { return ask_host(host, request); };
  Writer load, open;
  load.number(static_cast<std::uint64_t>(Call::Load)).number(VERSION).bytes(path.data(), path.size()).bytes("", 0);
  ASSERT_EQ(Reader(ask(load)).number(), SAME_VERSION);
  open.number(static_cast<std::uint64_t>(Call::OpenSession)).number(1).number(CKF_SERIAL_SESSION);
  const host_protocol::Bytes opened = ask(open);
  Reader session(opened);
  ASSERT_EQ(session.number(), CKR_OK);
  const std::uint64_t handle = session.number();
  for (const auto& [object, rv] : {std::pair{1u, CKR_OK}, std::pair{2u, CKR_BUFFER_TOO_SMALL}}) {
    Writer get;
    get.number(static_cast<std::uint64_t>(Call::GetAttributeValue)).number(handle).number(object).number(1).number(1);
    get.number(CKA_VALUE).number(1).number(std::uint64_t{2} << 20);  // a value, with room for 2 MiB
    EXPECT_EQ(Reader(ask(get)).number(), rv) << object;
  }
}

TEST_F(FakeModuleTest, ReportsOnlyModuleSlotListAndCertificateSearchFailures) {
  const json one_token = {{"slots", json::array({slot(1, token("T", "S", {certificate("dd01")}))})}};
  const std::string device_error = "PKCS11 error: " + describe_rv(CKR_DEVICE_ERROR);
  struct Case {
    std::string function;
    std::string error;  // "" when the failure only drops the item
    std::size_t certs;
  };
  const std::vector<Case> cases = {
      {"C_GetSlotList", "get_slots_with_token: Function::GetSlotList: " + device_error, 0},
      // The key search fails first (no keys), then the certificate search ends the listing.
      {"C_FindObjectsInit", "find certs: Function::FindObjectsInit: " + device_error, 0},
      {"C_FindObjects", "find certs: Function::FindObjects: " + device_error, 0},
      {"C_GetTokenInfo", "", 1},
      {"C_OpenSession", "", 0},
      {"C_GetAttributeValue", "", 0},
  };
  for (const auto& c : cases) {
    json s = one_token;
    s["fail"] = json::array({failure(c.function, CKR_DEVICE_ERROR)});
    scenario(s);
    auto certs = list_token_certs(path);
    if (!c.error.empty()) {
      ASSERT_FALSE(certs) << c.function;
      EXPECT_EQ(certs.error(), c.error);
      continue;
    }
    ASSERT_TRUE(certs) << c.function << ": " << certs.error();
    ASSERT_EQ(certs->size(), c.certs) << c.function;
    if (c.certs == 1) {
      EXPECT_EQ(certs->front().token_label, "");
    }
  }
}

TEST_F(FakeModuleTest, AClockTokenWithAnUnreadableTimeHasNoIdentity) {
  json t = token("Label", "Serial", {}, CKF_CLOCK_ON_TOKEN);
  t["utc_time"] = "2026120712x00000";
  scenario({{"slots", json::array({slot(1, t)})}});
  auto module = open_module(path);
  ASSERT_TRUE(module);
  EXPECT_FALSE(token_identity(**module, 1));
  t["utc_time"] = "20261207120000";
  scenario({{"slots", json::array({slot(1, t)})}});
  auto identity = token_identity(**module, 1);
  ASSERT_TRUE(identity);
  EXPECT_EQ(identity->label, "Label");
}

TEST_F(FakeModuleTest, ALyingModuleCannotMakeTheAgentReadOrWriteOutOfBounds) {
  std::vector<json> many;  // more than one C_FindObjects batch
  for (int i = 0; i < 25; ++i) {
    char der[8];
    std::snprintf(der, sizeof der, "ee%02x", i);
    many.push_back(certificate(der));
  }
  scenario({{"slots", json::array({slot(1, token("T", "S", many)), slot(2, token("U", "S", {certificate("ff")}))})},
            {"find_overreport", 1000},
            {"attribute_overreport", 1 << 20},
            {"slot_count_growth", 3},
            {"mechanism_count", 0xFFFFFFFFu}});
  // In process, and through a host, whose side hands on only what the module wrote.
  for (const bool hosted : {false, true}) {
    SCOPED_TRACE(hosted ? "in a host" : "in process");
    if (hosted) use_module_hosts(ModuleHosting{host_path(), std::chrono::seconds(5)});
    auto certs = list_token_certs(path);
    // A mechanism count past every token's is no list, and nothing is made for it.
    auto module = open_module(path);
    ASSERT_TRUE(module) << module.error();
    EXPECT_FALSE(read_mechanisms(**module, 1));
    module->reset();
    use_module_hosts(std::nullopt);
    ASSERT_TRUE(certs) << certs.error();
    // Claimed handles beyond the room given are not invented; claimed bytes beyond the
    // buffer are not read.
    ASSERT_EQ(certs->size(), 26u);
    EXPECT_EQ(certs->front().der, hex_bytes("ee00"));
    EXPECT_EQ(certs->back().der, hex_bytes("ff"));
  }
}

TEST_F(FakeModuleTest, AFailedAttributeCallLeavesTheBuffersAsTheModuleLeftThem) {
  scenario({{"slots", json::array({slot(1, token("T", "S", {certificate("3003020101")}))})}});
  for (const bool hosted : {false, true}) {
    SCOPED_TRACE(hosted ? "in a host" : "in process");
    if (hosted) use_module_hosts(ModuleHosting{host_path(), std::chrono::seconds(5)});
    auto module = open_module(path);
    ASSERT_TRUE(module) << module.error();
    auto session = open_ro_session(*module, 1);
    ASSERT_TRUE(session);
    auto handles = find_objects(*session, certificate_template());
    ASSERT_TRUE(handles && handles->size() == 1u);
    // A session the module does not know: it fails the call without touching the template.
    std::vector<CK_BYTE> value(64, 0xAA);
    CK_ATTRIBUTE query{CKA_VALUE, value.data(), static_cast<CK_ULONG>(value.size())};
    EXPECT_EQ((*module)->functions().C_GetAttributeValue(session->handle() + 1000, handles->front(), &query, 1),
              CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(value, std::vector<CK_BYTE>(64, 0xAA));
    module->reset();
    use_module_hosts(std::nullopt);
  }
}

TEST_F(FakeModuleTest, EveryBufferHandedToTheModuleIsValidAlsoWhenEmpty) {
  json hidden = certificate("30", nullptr);  // its value sensitive, no id: nothing to read
  hidden["value_error"] = CKR_ATTRIBUTE_SENSITIVE;
  scenario({{"slots", json::array({slot(1, token("T", "S", {hidden}))})}, {"reject_null", true}, {"count_behind", true}});
  auto module = open_module(path);
  ASSERT_TRUE(module) << module.error();
  // The token arrived after the count query: the list call still gets a buffer, so the
  // module can say it is too small.
  auto slots = slots_with_token(**module);
  ASSERT_TRUE(slots);
  EXPECT_EQ(*slots, (std::vector<CK_SLOT_ID>{1}));
  auto session = open_ro_session(*module, 1);
  ASSERT_TRUE(session);
  auto handles = find_objects(*session, certificate_template());
  ASSERT_TRUE(handles && handles->size() == 1u);
  auto attributes = get_attributes(*session, handles->front(), VALUE_AND_ID);
  ASSERT_TRUE(attributes) << attributes.error().text();
  EXPECT_EQ(attributes->find(CKA_VALUE), nullptr);
}

TEST_F(FakeModuleTest, ASlotCountThatNeverSettlesEndsAsAnError) {
  scenario({{"slots", json::array({slot(1, token("T", "S", {}))})}, {"slot_count_growth", 1000}});
  auto certs = list_token_certs(path);
  ASSERT_FALSE(certs);
  EXPECT_EQ(certs.error(), "get_slots_with_token: Function::GetSlotList: PKCS11 error: " + describe_rv(CKR_BUFFER_TOO_SMALL));
}

TEST_F(FakeModuleTest, AModuleWithoutTokensListsNothing) {
  scenario({{"slots", json::array({empty_slot(1), empty_slot(2)})}});
  auto certs = list_token_certs(path);
  ASSERT_TRUE(certs);
  EXPECT_TRUE(certs->empty());
}

// A token with many objects: every certificate listed with its key, the last one found.
TEST_F(FakeModuleTest, ListsAndFindsOnATokenWithAThousandCertificatesAndKeys) {
  constexpr int COUNT = 1000;
  std::vector<json> objects;
  for (int i = 0; i < COUNT; ++i) {
    char id[8];
    std::snprintf(id, sizeof id, "%04x", i);
    objects.push_back(certificate(der_with_serial(id), id));
    objects.push_back(private_key(id));
  }
  scenario({{"slots", json::array({slot(1, token("Many", "1000", objects))})}});
  auto started = std::chrono::steady_clock::now();
  auto certs = list_token_certs(path);
  auto listed = std::chrono::steady_clock::now();
  ASSERT_TRUE(certs) << certs.error();
  ASSERT_EQ(certs->size(), static_cast<std::size_t>(COUNT));
  EXPECT_TRUE(std::all_of(certs->begin(), certs->end(), [](const TokenCert& c) { return c.has_private_key; }));
  auto module = open_module(path);
  ASSERT_TRUE(module);
  const CertSearch search = find_cert_on_module(*module, certs->back().thumbprint);
  ASSERT_TRUE(search.match);
  EXPECT_EQ(cert_serial_hex(search.match->der), "03e7");
  std::printf("[ timing   ] %d certificates and keys listed in %.1f ms\n", COUNT,
              std::chrono::duration<double, std::milli>(listed - started).count());
}

}  // namespace
}  // namespace p11agent
