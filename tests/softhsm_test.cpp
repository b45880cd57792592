// Real tokens: SoftHSM2 in a fresh folder, keys and certificates made by OpenSSL, the
// agent's answers checked against OpenSSL's own reading and verification.
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "wire/response.h"
#include <dlfcn.h>

#include "text/encoding.h"
#include "pkcs11/cryptoki.h"
#include "support/agent.h"

namespace p11agent {
namespace {

using namespace testing_support;
namespace fs = std::filesystem;

const std::string SOFTHSM = "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so";

Bytes read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

Bytes from_base64(const std::string& text) {
  Bytes out(text.size());
  int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  out.resize(static_cast<std::size_t>(n) - std::count(text.begin(), text.end(), '='));
  return out;
}

void run(const std::string& command) { ASSERT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command; }

std::string output_of(const std::string& command) {
  std::string out;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  pclose(pipe);
  return out;
}

std::string openssl_thumbprint(const Bytes& der) {
  const unsigned char* p = der.data();
  X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
  unsigned char md[20];
  unsigned int n = 0;
  X509_digest(cert, EVP_sha1(), md, &n);
  X509_free(cert);
  return hex_encode({md, n});
}

// Verifies a signature over exactly `data` (no digest taken) with the certificate's key.
bool verifies(const Bytes& cert_der, const Bytes& data, const Bytes& signature) {
  const unsigned char* p = cert_der.data();
  X509* cert = d2i_X509(nullptr, &p, static_cast<long>(cert_der.size()));
  EVP_PKEY* key = X509_get_pubkey(cert);
  Bytes sig = signature;
  if (EVP_PKEY_base_id(key) == EVP_PKEY_EC) {
    // PKCS#11 gives r then s; OpenSSL wants the DER of the pair.
    ECDSA_SIG* pair = ECDSA_SIG_new();
    std::size_t half = signature.size() / 2;
    ECDSA_SIG_set0(pair, BN_bin2bn(signature.data(), static_cast<int>(half), nullptr),
                   BN_bin2bn(signature.data() + half, static_cast<int>(half), nullptr));
    unsigned char* der = nullptr;
    int n = i2d_ECDSA_SIG(pair, &der);
    sig.assign(der, der + n);
    OPENSSL_free(der);
    ECDSA_SIG_free(pair);
  }
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  EVP_PKEY_verify_init(ctx);
  if (EVP_PKEY_base_id(key) == EVP_PKEY_RSA) EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
  bool ok = EVP_PKEY_verify(ctx, sig.data(), sig.size(), data.data(), data.size()) == 1;
  EVP_PKEY_CTX_free(ctx);
  EVP_PKEY_free(key);
  X509_free(cert);
  return ok;
}

// Where token folders go: SoftHSM2 writes every object to a file of its own and waits for
// the disk each time, which on a RAM file system costs a thousand objects seconds, not a
// minute.
fs::path token_parent() {
  std::error_code ignored;
  return fs::is_directory("/dev/shm", ignored) ? fs::path("/dev/shm") : fs::temp_directory_path();
}

// A SoftHSM2 token (user PIN 1234) in a new folder of its own, which SOFTHSM2_CONF names.
fs::path fresh_token(const std::string& label) {
  fs::path folder = token_parent() / ("p11agent-" + label + "-" + std::to_string(std::random_device{}()));
  fs::create_directories(folder / "tokens");
  std::ofstream(folder / "softhsm2.conf") << "directories.tokendir = " << (folder / "tokens").string()
                                          << "\nobjectstore.backend = file\nlog.level = ERROR\n";
  set_environment("SOFTHSM2_CONF", (folder / "softhsm2.conf").string());
  run("softhsm2-util --init-token --free --label " + label + " --so-pin 5678 --pin 1234");
  return folder;
}

void remove_folder(const fs::path& folder) {
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}

class SoftHsmTest : public ::testing::Test {
 protected:
  static inline fs::path folder;
  static inline Bytes rsa_der, ec_der;

  static void SetUpTestSuite() {
    folder = fresh_token("agent-test");
    const std::string at = folder.string() + "/";
    run("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + at + "rsa.key -out " + at +
        "rsa.pem -subj /CN=rsa -days 30 -set_serial 0x8f3a");
    run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " + at + "ec.key -out " + at +
        "ec.pem -subj /CN=ec -days 30 -set_serial 0x0123");
    for (const char* name : {"rsa", "ec"}) {
      std::string id = std::string(name) == "rsa" ? "01" : "02";
      run("openssl x509 -in " + at + name + ".pem -outform DER -out " + at + name + ".der");
      run("softhsm2-util --import " + at + name + ".key --token agent-test --label " + name + " --id " + id +
          " --pin 1234");
      run("pkcs11-tool --module " + SOFTHSM + " --token-label agent-test --login --pin 1234 --write-object " + at +
          name + ".der --type cert --id " + id + " --label " + name);
    }
    rsa_der = read_file(folder / "rsa.der");
    ec_der = read_file(folder / "ec.der");
  }
  static void TearDownTestSuite() { remove_folder(folder); }

  static Json one_shot(const json& request) { return Json::parse(run_agent(request.dump()).out); }
};

TEST_F(SoftHsmTest, ListsRsaAndEcCertificatesWithOpenSslThumbprints) {
  for (const json& module : {json(SOFTHSM), json(nullptr)}) {
    json request = {{"cmd", "list_certs"}};
    if (!module.is_null()) request["module"] = module;
    Json answer = one_shot(request);
    std::vector<std::string> prints;
    for (const auto& cert : answer["certs"]) {
      if (cert["token_label"] != "agent-test") continue;
      Bytes der = from_base64(cert["der_b64"]);
      EXPECT_EQ(cert["thumbprint"], openssl_thumbprint(der));
      // SoftHSM keeps private keys private: they are not visible without a login.
      EXPECT_EQ(cert["has_private_key"], false);
      prints.push_back(cert["thumbprint"]);
    }
    std::sort(prints.begin(), prints.end());
    std::vector<std::string> expected = {openssl_thumbprint(rsa_der), openssl_thumbprint(ec_der)};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(prints, expected) << request.dump();
  }
}

// What OpenSSL's command line reads of a certificate the test made: "2027-01-07T18:25:54Z".
std::string openssl_date(const fs::path& pem, const char* which) {
  std::string line = output_of("openssl x509 -in " + pem.string() + " -noout -dateopt iso_8601 -" + which);
  line = line.substr(line.find('=') + 1);
  line.erase(line.find_last_not_of("\n") + 1);
  std::replace(line.begin(), line.end(), ' ', 'T');
  return line;
}

TEST_F(SoftHsmTest, DetailsAreWhatOpenSslReads) {
  struct Expected {
    const char* name;
    const char* key_type;
    int bits;
    json curve;
  };
  for (const Expected& key : {Expected{"rsa", "RSA", 2048, nullptr}, Expected{"ec", "EC", 256, "P-256"}}) {
    const fs::path pem = folder / (std::string(key.name) + ".pem");
    const json filter = {{"issuer", std::string("CN=") + key.name}, {"valid_at", "now"}};
    Json answer = one_shot({{"cmd", "list_certs"}, {"module", SOFTHSM}, {"details", true}, {"filter", filter}});
    ASSERT_EQ(answer["certs"].size(), 1u) << answer.dump();
    const Json& cert = answer["certs"][0];
    EXPECT_EQ(cert["subject"], std::string("CN=") + key.name);
    EXPECT_EQ(cert["not_before"], openssl_date(pem, "startdate"));
    EXPECT_EQ(cert["not_after"], openssl_date(pem, "enddate"));
    EXPECT_EQ(cert["key_type"], key.key_type);
    EXPECT_EQ(cert["key_bits"], key.bits);
    EXPECT_EQ(cert["curve"], key.curve);
    EXPECT_EQ(cert["token_label"], "agent-test");
  }
}

// Verifies a signature over a digest as a relying party does, with the hash named: PKCS #1
// v1.5 checks the DigestInfo, PSS uses MGF1 with the same hash and a salt as long as it,
// ECDSA takes the DER ECDSA-Sig-Value.
bool verifies_digest(const Bytes& cert_der, const EVP_MD* md, int padding, const Bytes& digest, const Bytes& signature) {
  const unsigned char* p = cert_der.data();
  X509* cert = d2i_X509(nullptr, &p, static_cast<long>(cert_der.size()));
  EVP_PKEY* key = X509_get_pubkey(cert);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  bool ok = EVP_PKEY_verify_init(ctx) == 1 && EVP_PKEY_CTX_set_signature_md(ctx, md) == 1;
  if (EVP_PKEY_base_id(key) == EVP_PKEY_RSA) ok = ok && EVP_PKEY_CTX_set_rsa_padding(ctx, padding) == 1;
  if (padding == RSA_PKCS1_PSS_PADDING)
    ok = ok && EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, md) == 1 && EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx, EVP_MD_get_size(md)) == 1;
  ok = ok && EVP_PKEY_verify(ctx, signature.data(), signature.size(), digest.data(), digest.size()) == 1;
  EVP_PKEY_CTX_free(ctx);
  EVP_PKEY_free(key);
  X509_free(cert);
  return ok;
}

// Every row of the protocol reference's table of algorithms, on SoftHSM2 with RSA-2048,
// P-256 and P-384 keys: one-shot, and serve twice (the second from the held login), each
// signature verified by OpenSSL.
TEST(SoftHsmAlgorithms, EverySignatureANamedAlgorithmMakesVerifies) {
  const fs::path folder = fresh_token("algorithms");
  const std::string at = folder.string() + "/";
  const std::pair<const char*, const char*> keys[] = {
      {"rsa", "rsa:2048"}, {"ec", "ec -pkeyopt ec_paramgen_curve:P-256"}, {"ec384", "ec -pkeyopt ec_paramgen_curve:P-384"}};
  int id = 1;
  for (const auto& [name, kind] : keys) {
    const std::string n = name;
    run("openssl req -x509 -newkey " + std::string(kind) + " -nodes -keyout " + at + n + ".key -out " + at + n +
        ".pem -subj /CN=" + n + " -days 30");
    run("openssl x509 -in " + at + n + ".pem -outform DER -out " + at + n + ".der");
    run("softhsm2-util --import " + at + n + ".key --token algorithms --label " + n + " --id 0" + std::to_string(id) +
        " --pin 1234");
    run("pkcs11-tool --module " + SOFTHSM + " --token-label algorithms --login --pin 1234 --write-object " + at + n +
        ".der --type cert --id 0" + std::to_string(id++) + " --label " + n);
  }
  struct Row {
    const char* key;
    json members;
    const EVP_MD* md;
    int padding;  // RSA's; 0 for ECDSA
  };
  const Row rows[] = {
      {"rsa", {{"algorithm", "RSA-PSS"}, {"hash", "SHA-256"}}, EVP_sha256(), RSA_PKCS1_PSS_PADDING},
      {"rsa", {{"algorithm", "RSA-PSS"}, {"hash", "SHA-384"}}, EVP_sha384(), RSA_PKCS1_PSS_PADDING},
      {"rsa", {{"algorithm", "RSA-PKCS1"}, {"hash", "SHA-256"}}, EVP_sha256(), RSA_PKCS1_PADDING},
      {"rsa", {{"hash", "SHA-512"}}, EVP_sha512(), RSA_PKCS1_PADDING},
      // Each other hash's DigestInfo, as a relying party reads it.
      {"rsa", {{"algorithm", "RSA-PKCS1"}, {"hash", "SHA-224"}}, EVP_sha224(), RSA_PKCS1_PADDING},
      {"rsa", {{"algorithm", "RSA-PKCS1"}, {"hash", "SHA-384"}}, EVP_sha384(), RSA_PKCS1_PADDING},
      {"rsa", {{"algorithm", "RSA-PKCS1"}, {"hash", "SHA3-256"}}, EVP_sha3_256(), RSA_PKCS1_PADDING},
      {"rsa", {{"algorithm", "RSA-PKCS1"}, {"hash", "SHA3-384"}}, EVP_sha3_384(), RSA_PKCS1_PADDING},
      {"rsa", {{"algorithm", "RSA-PKCS1"}, {"hash", "SHA3-512"}}, EVP_sha3_512(), RSA_PKCS1_PADDING},
      {"ec", {{"algorithm", "ECDSA"}, {"hash", "SHA-256"}, {"signature_format", "der"}}, EVP_sha256(), 0},
      {"ec384", {{"hash", "SHA-384"}, {"signature_format", "der"}}, EVP_sha384(), 0},
  };
  auto request_of = [&](const Row& row, const Bytes& digest) {
    json request = {{"cmd", "sign"}, {"thumbprint", openssl_thumbprint(read_file(folder / (std::string(row.key) + ".der")))},
                    {"hash_hex", hex_encode(digest)}, {"pin", "1234"}};
    request.update(row.members);
    return request;
  };
  auto digest_of = [](const Row& row) {
    Bytes digest(static_cast<std::size_t>(EVP_MD_get_size(row.md)));
    for (std::size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return digest;
  };
  // One-shot first, then serve: no one-shot logs in on the token while serve watches it (two
  // processes on one SoftHSM2 token are not what this test is about, and a serve request
  // right after a one-shot's login once found the token's objects missing).
  std::vector<std::vector<Json>> answers(std::size(rows));
  for (std::size_t r = 0; r < std::size(rows); ++r) {
    json request = request_of(rows[r], digest_of(rows[r]));
    request["module"] = SOFTHSM;
    answers[r].push_back(Json::parse(run_agent(request.dump()).out));
  }
  ChildProcess daemon(agent_path(), {"serve"});
  for (std::size_t r = 0; r < std::size(rows); ++r)
    for (int i = 0; i < 2; ++i) {
      daemon.write(request_of(rows[r], digest_of(rows[r])).dump() + "\n");
      answers[r].push_back(Json::parse(daemon.read_line().value_or("{}")));
    }
  for (std::size_t r = 0; r < std::size(rows); ++r) {
    const Row& row = rows[r];
    SCOPED_TRACE(std::string(row.key) + " " + row.members.dump());
    const Bytes cert = read_file(folder / (std::string(row.key) + ".der"));
    for (const Json& answer : answers[r]) {
      ASSERT_EQ(answer.value("ok", false), true) << answer.dump();
      EXPECT_TRUE(verifies_digest(cert, row.md, row.padding, digest_of(row), hex_bytes(answer["signature_hex"])))
          << answer.dump();
    }
  }
  // What a key cannot make is refused with no login: the token's PIN count stays as it was.
  json refused = {{"cmd", "sign"}, {"thumbprint", openssl_thumbprint(read_file(folder / "ec.der"))},
                  {"hash_hex", std::string(64, '0')}, {"pin", "0000"}, {"algorithm", "RSA-PSS"}, {"hash", "SHA-256"}};
  daemon.write(refused.dump() + "\n");
  EXPECT_EQ(daemon.read_line().value_or(""),
            error_response_text("ALGORITHM_NOT_SUPPORTED: RSA-PSS/SHA-256 (the key offers ECDSA)"));
  EXPECT_EQ(output_of("pkcs11-tool --module " + SOFTHSM + " --token-label algorithms -T").find("PIN count low"),
            std::string::npos);
  daemon.close_stdin();
  EXPECT_EQ(daemon.wait(), 0);
  remove_folder(folder);
}

TEST_F(SoftHsmTest, SignaturesVerifyWithTheReturnedCertificate) {
  Bytes digest(32);
  for (std::size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<std::uint8_t>(i * 7);
  // SHA-256 DigestInfo prefix followed by the digest: 51 bytes, signed as given.
  Bytes digest_info = hex_bytes("3031300d060960864801650304020105000420");
  digest_info.insert(digest_info.end(), digest.begin(), digest.end());
  struct Case {
    const Bytes* cert;
    Bytes data;
    json module;
  };
  const std::vector<Case> cases = {
      {&rsa_der, digest, SOFTHSM}, {&rsa_der, digest_info, SOFTHSM}, {&ec_der, digest, SOFTHSM},
      {&rsa_der, digest, nullptr}, {&ec_der, digest, nullptr},
  };
  for (const auto& c : cases) {
    json request = {{"cmd", "sign"}, {"thumbprint", openssl_thumbprint(*c.cert)}, {"hash_hex", hex_encode(c.data)}, {"pin", "1234"}};
    if (!c.module.is_null()) request["module"] = c.module;
    Json answer = one_shot(request);
    ASSERT_EQ(answer.value("ok", false), true) << answer.dump();
    Bytes cert = from_base64(answer["cert_der_b64"]);
    EXPECT_EQ(cert, *c.cert);
    EXPECT_TRUE(verifies(cert, c.data, hex_bytes(answer["signature_hex"]))) << request.dump();
  }
  Json wrong = one_shot({{"cmd", "sign"}, {"thumbprint", openssl_thumbprint(rsa_der)}, {"hash_hex", "00"}, {"pin", "0000"},
                         {"module", SOFTHSM}});
  EXPECT_EQ(wrong["error"].get<std::string>().rfind("WRONG_PIN:", 0), 0u) << wrong.dump();
}

TEST_F(SoftHsmTest, FindCertReportsTheSerialNumberAsOpenSslSetIt) {
  Json answer = one_shot({{"cmd", "find_cert"}, {"thumbprint", openssl_thumbprint(rsa_der)}});
  EXPECT_EQ(answer["cert_serial"], "008f3a") << answer.dump();
  EXPECT_EQ(one_shot({{"cmd", "find_cert"}, {"thumbprint", openssl_thumbprint(ec_der)}})["cert_serial"], "0123");
}

TEST_F(SoftHsmTest, TheOneShotSignTriesThePinOnlyOnTheTokenWithTheCertificate) {
  // A second token with a PIN of its own, behind the same module as the first.
  const std::string at = folder.string() + "/";
  run("softhsm2-util --init-token --free --label second --so-pin 5678 --pin 9876");
  run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " + at + "second.key -out " + at +
      "second.pem -subj /CN=second -days 30");
  run("openssl x509 -in " + at + "second.pem -outform DER -out " + at + "second.der");
  run("softhsm2-util --import " + at + "second.key --token second --label second --id 03 --pin 9876");
  run("pkcs11-tool --module " + SOFTHSM + " --token-label second --login --pin 9876 --write-object " + at +
      "second.der --type cert --id 03 --label second");
  const Bytes second = read_file(folder / "second.der");
  const Bytes digest(32, 0x5a);
  for (const json& module : {json(SOFTHSM), json(nullptr)}) {
    json request = {{"cmd", "sign"}, {"thumbprint", openssl_thumbprint(second)}, {"hash_hex", hex_encode(digest)},
                    {"pin", "9876"}};
    if (!module.is_null()) request["module"] = module;
    Json answer = one_shot(request);
    ASSERT_EQ(answer.value("ok", false), true) << answer.dump();
    EXPECT_TRUE(verifies(second, digest, hex_bytes(answer["signature_hex"]))) << request.dump();
  }
  // The first token never saw that PIN: no failed login is counted against it.
  std::string tokens = output_of("pkcs11-tool --module " + SOFTHSM + " -T");
  EXPECT_NE(tokens.find("agent-test"), std::string::npos) << tokens;
  EXPECT_EQ(tokens.find("user PIN count low"), std::string::npos) << tokens;
}

// A key that asks for the PIN for every signature (CKA_ALWAYS_AUTHENTICATE), as
// qualified-signature cards keep theirs: signed one-shot, and in serve again and again.
TEST_F(SoftHsmTest, AKeyThatAsksForThePinForEverySignatureSigns) {
  const std::string at = folder.string() + "/";
  const std::string on_token = "pkcs11-tool --module " + SOFTHSM + " --token-label always --login --pin 2468 ";
  run("softhsm2-util --init-token --free --label always --so-pin 5678 --pin 2468");
  run(on_token + "--keypairgen --key-type EC:prime256v1 --always-auth --id 04 --label always");
  run(on_token + "--read-object --type pubkey --id 04 -o " + at + "always.pub");
  run("openssl pkey -pubin -inform DER -in " + at + "always.pub -out " + at + "always.pem");
  // A certificate for the token's key, issued with the EC test key.
  run("openssl req -new -key " + at + "ec.key -subj /CN=always | openssl x509 -req -CA " + at + "ec.pem -CAkey " + at +
      "ec.key -force_pubkey " + at + "always.pem -set_serial 0x0404 -days 30 -outform DER -out " + at + "always.der");
  run(on_token + "--write-object " + at + "always.der --type cert --id 04 --label always");
  const Bytes cert = read_file(folder / "always.der");
  const json sign = {{"cmd", "sign"}, {"thumbprint", openssl_thumbprint(cert)}, {"hash_hex", hex_encode(Bytes(32, 0x24))},
                     {"pin", "2468"}};
  Json answer = one_shot(sign);
  ASSERT_EQ(answer.value("ok", false), true) << answer.dump();
  EXPECT_TRUE(verifies(cert, Bytes(32, 0x24), hex_bytes(answer["signature_hex"])));
  ChildProcess daemon(agent_path(), {"serve"});
  for (int i = 0; i < 3; ++i) {
    daemon.write(sign.dump() + "\n");
    Json served = Json::parse(daemon.read_line().value_or("{}"));
    ASSERT_EQ(served.value("ok", false), true) << served.dump();
    EXPECT_TRUE(verifies(cert, Bytes(32, 0x24), hex_bytes(served["signature_hex"])));
  }
  daemon.close_stdin();
  EXPECT_EQ(daemon.wait(), 0);
}

// An example answer of the protocol reference against a real one: the same members and
// texts; "…" stands for any text, a number for any number, an array's one element for
// every element.
bool matches_example(const Json& expected, const Json& actual) {
  if (expected.is_string() && expected.get<std::string>() == "\xE2\x80\xA6") return actual.is_string();
  if (expected.is_number()) return actual.is_number();
  if (expected.is_object()) {
    if (!actual.is_object() || expected.size() != actual.size()) return false;
    for (const auto& [key, value] : expected.items())
      if (!actual.contains(key) || !matches_example(value, actual[key])) return false;
    return true;
  }
  if (expected.is_array()) {
    if (!actual.is_array() || expected.empty() != actual.empty()) return false;
    // Several documented elements are those answered, in order; one stands for each.
    if (expected.size() > 1)
      return expected.size() == actual.size() &&
             std::equal(expected.begin(), expected.end(), actual.begin(), matches_example);
    return std::all_of(actual.begin(), actual.end(), [&](const Json& e) { return matches_example(expected.front(), e); });
  }
  return expected == actual;
}

struct Example {
  bool serve;
  std::vector<std::pair<std::string, std::string>> exchanges;  // request, answer
};

// The reference's fenced example blocks, in document order.
std::vector<Example> protocol_examples() {
  std::ifstream in(std::string(P11AGENT_SOURCE_DIR) + "/docs/protocol.md");
  std::vector<Example> examples;
  bool inside = false;
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("```example-")) {
      examples.push_back({line == "```example-serve", {}});
      inside = true;
    } else if (inside && line.starts_with("```")) {
      inside = false;
    } else if (inside && line.starts_with("> ")) {
      examples.back().exchanges.emplace_back(line.substr(2), "");
    } else if (inside && line.starts_with("< ") && !examples.back().exchanges.empty()) {
      examples.back().exchanges.back().second = line.substr(2);
    }
  }
  return examples;
}

TEST_F(SoftHsmTest, TheProtocolReferenceExamplesHold) {
  auto with_thumbprints = [](std::string request) {
    for (auto [placeholder, der] : {std::pair{"<rsa>", &rsa_der}, std::pair{"<ec>", &ec_der}})
      for (std::size_t at; (at = request.find(placeholder)) != std::string::npos;)
        request.replace(at, std::strlen(placeholder), openssl_thumbprint(*der));
    return request;
  };
  const std::vector<Example> examples = protocol_examples();
  ASSERT_GE(examples.size(), 8u);
  for (const Example& example : examples) {
    std::unique_ptr<ChildProcess> daemon;
    if (example.serve) daemon = std::make_unique<ChildProcess>(agent_path(), std::vector<std::string>{"serve"});
    for (const auto& [request, answer] : example.exchanges) {
      std::string got;
      if (daemon) {
        daemon->write(with_thumbprints(request) + "\n");
        got = daemon->read_line().value_or("");
      } else {
        RunResult run = run_agent(with_thumbprints(request));
        got = run.out.substr(0, run.out.find('\n'));
        EXPECT_EQ(run.status, got.find(R"("ok":true)") != std::string::npos ? 0 : 1) << request;
      }
      Json expected = Json::parse(answer);
      Json actual = Json::parse(got, nullptr, false);
      EXPECT_TRUE(matches_example(expected, actual)) << request << "\n  documented: " << answer << "\n  answered:   " << got;
    }
    if (daemon) {
      daemon->close_stdin();
      EXPECT_EQ(daemon->wait(), 0);
    }
  }
}

TEST_F(SoftHsmTest, TheDaemonSignsManyTimesAfterOneLogin) {
  ChildProcess daemon(agent_path(), {"serve"});
  auto ask = [&](const json& request) {
    daemon.write(request.dump() + "\n");
    return Json::parse(daemon.read_line().value_or("{}"));
  };
  Bytes digest(32, 0x42);
  for (const Bytes* cert : {&rsa_der, &ec_der}) {
    std::string print = openssl_thumbprint(*cert);
    EXPECT_EQ(ask({{"cmd", "validate"}, {"thumbprint", print}, {"pin", "1234"}}), Json({{"ok", true}}));
    for (int i = 0; i < 3; ++i) {
      Json answer = ask({{"cmd", "sign"}, {"thumbprint", print}, {"pin", "1234"}, {"hash_hex", hex_encode(digest)}});
      ASSERT_EQ(answer.value("ok", false), true) << answer.dump();
      EXPECT_TRUE(verifies(*cert, digest, hex_bytes(answer["signature_hex"])));
    }
  }
  daemon.close_stdin();
  EXPECT_EQ(daemon.wait(), 0);
}

// A token with a thousand certificates and keys, made in one session through the module
// itself (a tool run per object would read the whole token again every time).
class SoftHsmScaleTest : public ::testing::Test {
 protected:
  static constexpr int COUNT = 1000;
  static inline fs::path folder;
  static inline Bytes last_cert;

  static void SetUpTestSuite() {
    folder = fresh_token("scale");
    const std::string at = folder.string() + "/";
    run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " + at + "key.pem -out " + at +
        "cert.pem -subj /CN=scale -days 30 -set_serial 0x7777");
    run("openssl x509 -in " + at + "cert.pem -outform DER -out " + at + "cert.der");
    last_cert = read_file(folder / "cert.der");
    fill_token();
  }
  static void TearDownTestSuite() { remove_folder(folder); }

  // COUNT - 1 generated key pairs with made-up certificates, then the real one last.
  static void fill_token() {
    void* library = dlopen(SOFTHSM.c_str(), RTLD_NOW);
    ASSERT_NE(library, nullptr);
    CK_FUNCTION_LIST_PTR f = nullptr;
    reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList"))(&f);
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    CK_SLOT_ID slots[8];
    CK_ULONG count = 8;
    f->C_GetSlotList(CK_TRUE, slots, &count);
    CK_SESSION_HANDLE session = 0;
    ASSERT_EQ(f->C_OpenSession(slots[0], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session), CKR_OK);
    CK_UTF8CHAR pin[] = {'1', '2', '3', '4'};
    ASSERT_EQ(f->C_Login(session, CKU_USER, pin, 4), CKR_OK);
    const Bytes p256 = hex_bytes("06082a8648ce3d030107");
    CK_BBOOL yes = CK_TRUE;
    CK_OBJECT_CLASS cert_class = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE x509 = CKC_X_509;
    CK_MECHANISM generate{CKM_EC_KEY_PAIR_GEN, nullptr, 0};
    for (int i = 0; i < COUNT - 1; ++i) {
      Bytes id = {static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)};
      Bytes value = hex_bytes(der_with_serial(hex_encode(id)));
      CK_ATTRIBUTE public_template[] = {{CKA_TOKEN, &yes, 1}, {CKA_EC_PARAMS, const_cast<std::uint8_t*>(p256.data()), p256.size()},
                                        {CKA_ID, id.data(), id.size()}};
      CK_ATTRIBUTE private_template[] = {{CKA_TOKEN, &yes, 1}, {CKA_SIGN, &yes, 1}, {CKA_ID, id.data(), id.size()}};
      CK_OBJECT_HANDLE public_key = 0, private_key = 0;
      ASSERT_EQ(f->C_GenerateKeyPair(session, &generate, public_template, 3, private_template, 3, &public_key, &private_key), CKR_OK);
      CK_ATTRIBUTE cert_template[] = {{CKA_CLASS, &cert_class, sizeof cert_class}, {CKA_CERTIFICATE_TYPE, &x509, sizeof x509},
                                      {CKA_TOKEN, &yes, 1}, {CKA_SUBJECT, value.data(), value.size()},
                                      {CKA_VALUE, value.data(), value.size()}, {CKA_ID, id.data(), id.size()}};
      CK_OBJECT_HANDLE cert = 0;
      ASSERT_EQ(f->C_CreateObject(session, cert_template, 6, &cert), CKR_OK);
    }
    f->C_CloseSession(session);
    f->C_Finalize(nullptr);
    dlclose(library);
    // The last certificate is a real one with its key, so its signature can be checked.
    const std::string at = folder.string() + "/";
    run("softhsm2-util --import " + at + "key.pem --token scale --label last --id ffff --pin 1234");
    run("pkcs11-tool --module " + SOFTHSM + " --token-label scale --login --pin 1234 --write-object " + at +
        "cert.der --type cert --id ffff");
  }
};

TEST_F(SoftHsmScaleTest, ListsFindsAndSignsAmongAThousandObjects) {
  const std::string print = openssl_thumbprint(last_cert);
  Json listed = Json::parse(run_agent(json{{"cmd", "list_certs"}, {"module", SOFTHSM}}.dump()).out);
  std::size_t on_token = 0;
  for (const auto& cert : listed["certs"]) on_token += cert["token_label"] == "scale" ? 1 : 0;
  EXPECT_EQ(on_token, static_cast<std::size_t>(COUNT));
  Json found = Json::parse(run_agent(json{{"cmd", "find_cert"}, {"thumbprint", print}}.dump()).out);
  EXPECT_EQ(found["cert_serial"], "7777") << found.dump();
  Bytes digest(32, 0x11);
  json request = {{"cmd", "sign"}, {"module", SOFTHSM}, {"thumbprint", print}, {"hash_hex", hex_encode(digest)}, {"pin", "1234"}};
  Json signed_ = Json::parse(run_agent(request.dump()).out);
  ASSERT_EQ(signed_.value("ok", false), true) << signed_.dump();
  EXPECT_TRUE(verifies(last_cert, digest, hex_bytes(signed_["signature_hex"])));
}

}  // namespace
}  // namespace p11agent
