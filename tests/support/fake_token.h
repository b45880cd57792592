#pragma once
// Scenarios for the fake module, and where its copies live.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace testing_support {

using nlohmann::json;

// A fresh scenario folder for this test program, exported as P11FAKE_DIR.
class FakeModuleFolder {
 public:
  FakeModuleFolder();
  ~FakeModuleFolder();

  // Writes "<module file name>.json" whole, in one rename, and empties its call log and
  // what it reported of its reach.
  void write_scenario(const std::string& module_file, const json& scenario) const;
  std::vector<std::string> call_log(const std::string& module_file) const;
  void clear_log(const std::string& module_file) const;
  // The process the module was last initialised in (scenario "pid_file"); -1 if none.
  long process_id(const std::string& module_file) const;
  // What that process could reach (scenario "report_reach"); null if nothing was reported.
  json reach(const std::string& module_file) const;

 private:
  std::string path_;
};

// The one scenario folder of this test program.
const FakeModuleFolder& fake_folder();

// The built fake module beside the test program, and its file name.
std::string fake_module_path(const std::string& target = "fake_pkcs11");
std::string file_name_of(const std::string& path);

// Copies the fake module (or another built file) to a path, creating its folder.
void install_file(const std::string& from, const std::string& to);
void remove_file(const std::string& path);

// A real certificate, for what is shown to a person: subject "CN=Anna Müller, O=Müller &
// Söhne, GmbH" (UTF8String), issuer "C=DE, O=Example Trust, CN=Example Signing CA".
extern const std::string NAMED_CERT_HEX;

// Certificates OpenSSL and CryptoAPI read whole (each signed by a throwaway P-256 key):
// "CN=Anna Signer" issued by "CN=Example Signing CA, O=Example Trust", P-256, 2020-01-01 to
// 2040-01-01T12:30:05Z, keyUsage digitalSignature and nonRepudiation, EKU clientAuth and
// emailProtection; "CN=Old CA key", P-384, 2001 to 2002, keyUsage keyCertSign and cRLSign;
// "CN=Later Holder", RSA-2048, 2090-01-01 to 2091-06-30, no extensions; "CN=Curve Holder",
// secp256k1, keyUsage keyAgreement and decipherOnly, EKU 1.3.6.1.4.1.311.10.3.12.
extern const std::string SIGNING_P256_HEX, EXPIRED_P384_HEX, FUTURE_RSA_HEX, K1_DECIPHER_HEX;

// Certificates that say what they are for, valid 2026 to 2126: QC_SIGNING (P-256,
// nonRepudiation, qualified statements QcCompliance, QcSSCD and QcType esign);
// LOGIN_P384, LOGIN_RSA and LOGIN_P521 (digitalSignature, EKU clientAuth); MAIL_SEAL
// (P-256, digitalSignature, EKU emailProtection: for neither; QcType eseal and web beside a
// PDS statement); BAD_QC (qualified statements that are not a SEQUENCE).
extern const std::string QC_SIGNING_HEX, LOGIN_P384_HEX, LOGIN_RSA_HEX, LOGIN_P521_HEX, MAIL_SEAL_HEX, BAD_QC_HEX;

// Bytes from hex digits.
std::vector<std::uint8_t> hex_bytes(const std::string& hex);

// Scenario pieces.
json certificate(const std::string& der_hex, const json& id_hex = "01");
json private_key(const json& id_hex = "01", unsigned long key_type = 0);
json token(const std::string& label, const std::string& serial, const std::vector<json>& objects,
           unsigned long flags = 0);
// One scripted failure: the n-th call (0: every call) of the function answers rv.
json failure(const std::string& function, unsigned long rv, long call = 0);
json slot(unsigned long id, const json& token_spec);
json empty_slot(unsigned long id);

// A DER prefix that the serial reader accepts, with the given serial content, then filler.
std::string der_with_serial(const std::string& serial_hex, const std::string& filler_hex = "0500");

// DER for certificates with names of a test's choosing: an element with its length, one
// attribute (a SET holding its type and value), and a certificate that holds just enough for
// the name reader to find its issuer and subject (each a run of attributes).
std::string der(const std::string& tag, const std::string& content_hex);
std::string hex_of(std::string_view text);
std::string attribute(const std::string& oid_hex, const std::string& tag, const std::string& value_hex);
std::string utf8_attribute(const std::string& oid_hex, std::string_view value);
inline const std::string CN = "550403", O = "55040a", OU = "55040b", ORG_ID = "550461";
std::string cert_named(const std::string& issuer, const std::string& subject);
// A qualified certificate's subject as they come: Cyrillic, 14 OUs, identifiers, about 1.3 kB.
std::string long_cyrillic_subject();

// Only the lines of the log that start with one of the names.
std::vector<std::string> calls_named(const std::vector<std::string>& log, const std::vector<std::string>& names);
long count_calls(const std::vector<std::string>& log, const std::string& name);
// Calls of the function that the scenario did not make fail.
long count_succeeded_calls(const std::vector<std::string>& log, const std::string& name);

}  // namespace testing_support
