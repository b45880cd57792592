// Certificates read with libcrypto, which the agent binds for its digests already.
#include "token/cert_reader.h"

#include <ctime>
#include <memory>

#include "token/cert_reader_checks.h"
#include "system/late_libraries_posix.h"

namespace p11agent::platform {

namespace {

// Only what libcrypto made is freed, so it is bound.
struct X509Free {
  void operator()(X509* certificate) const { libcrypto()->X509_free(certificate); }
};
struct EkuFree {
  void operator()(EXTENDED_KEY_USAGE* usage) const { libcrypto()->EXTENDED_KEY_USAGE_free(usage); }
};

std::string dotted(const LibCrypto& crypto, const ASN1_OBJECT* object) {
  char text[128];
  const int length = crypto.OBJ_obj2txt(text, sizeof text, object, 1);
  return length > 0 && static_cast<std::size_t>(length) < sizeof text ? std::string(text, static_cast<std::size_t>(length))
                                                                      : std::string();
}

std::optional<std::int64_t> unix_seconds(const LibCrypto& crypto, const ASN1_TIME* time) {
  std::tm moment{};
  if (time == nullptr || crypto.ASN1_TIME_to_tm(time, &moment) != 1) return std::nullopt;
  return static_cast<std::int64_t>(::timegm(&moment));
}

// An extension that is present but does not decode makes the certificate unreadable
// here: read as absent, it would pass every filter it should fail.
bool extension_present(const LibCrypto& crypto, X509* certificate, int nid) {
  return crypto.X509_get_ext_by_NID(certificate, nid, -1) >= 0;
}

// The qualified-certificate statements, read by the agent's own parser (as on Windows);
// false when the extension is there and does not decode.
bool read_qc(const LibCrypto& crypto, X509* certificate, CertFacts& facts) {
  const int index = crypto.X509_get_ext_by_NID(certificate, NID_qcStatements, -1);
  if (index < 0) return true;
  const ASN1_OCTET_STRING* value = crypto.X509_EXTENSION_get_data(crypto.X509_get_ext(certificate, index));
  if (value == nullptr) return false;
  const int length = crypto.ASN1_STRING_length(value);
  facts.qc = read_qc_statements({crypto.ASN1_STRING_get0_data(value), static_cast<std::size_t>(length < 0 ? 0 : length)});
  return facts.qc.has_value();
}

}  // namespace

std::optional<CertFacts> read_cert_facts(std::span<const std::uint8_t> der) {
  const LibCrypto* bound = libcrypto();
  if (bound == nullptr || !is_one_der_value(der)) return std::nullopt;
  const LibCrypto& crypto = *bound;
  const unsigned char* cursor = der.data();
  std::unique_ptr<X509, X509Free> certificate(crypto.d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
  if (!certificate || cursor != der.data() + der.size()) return std::nullopt;
  X509* x = certificate.get();
  CertFacts facts;
  auto not_before = unix_seconds(crypto, crypto.X509_get0_notBefore(x));
  auto not_after = unix_seconds(crypto, crypto.X509_get0_notAfter(x));
  if (!not_before || !not_after) return std::nullopt;
  facts.not_before = *not_before;
  facts.not_after = *not_after;
  // Reads and checks the extensions; a certificate whose extensions do not decode is
  // flagged invalid.
  if ((crypto.X509_get_extension_flags(x) & EXFLAG_INVALID) != 0) return std::nullopt;
  if (extension_present(crypto, x, NID_key_usage)) facts.key_usage = static_cast<std::uint16_t>(crypto.X509_get_key_usage(x) & 0x80FF);  // bits past decipherOnly are not keyUsage's
  if (extension_present(crypto, x, NID_ext_key_usage)) {
    std::unique_ptr<EXTENDED_KEY_USAGE, EkuFree> usage(
        static_cast<EXTENDED_KEY_USAGE*>(crypto.X509_get_ext_d2i(x, NID_ext_key_usage, nullptr, nullptr)));
    if (!usage) return std::nullopt;
    facts.eku.emplace();
    // The stack's typed accessors are inline calls of these.
    const auto* stack = reinterpret_cast<const OPENSSL_STACK*>(usage.get());
    for (int i = 0; i < crypto.OPENSSL_sk_num(stack); ++i)
      facts.eku->push_back(dotted(crypto, static_cast<const ASN1_OBJECT*>(crypto.OPENSSL_sk_value(stack, i))));
  }
  if (!read_qc(crypto, x, facts)) return std::nullopt;
  ASN1_OBJECT* algorithm = nullptr;
  X509_ALGOR* parameters = nullptr;
  if (crypto.X509_PUBKEY_get0_param(&algorithm, nullptr, nullptr, &parameters, crypto.X509_get_X509_PUBKEY(x)) != 1) return std::nullopt;
  facts.key_algorithm = dotted(crypto, algorithm);
  if (crypto.OBJ_obj2nid(algorithm) == NID_X9_62_id_ecPublicKey && parameters != nullptr) {
    int type = 0;
    const void* value = nullptr;
    crypto.X509_ALGOR_get0(nullptr, &type, &value, parameters);
    if (type == V_ASN1_OBJECT) facts.curve = dotted(crypto, static_cast<const ASN1_OBJECT*>(value));
  }
  if (crypto.OBJ_obj2nid(algorithm) == NID_rsaEncryption)
    if (EVP_PKEY* key = crypto.X509_get0_pubkey(x)) facts.key_bits = crypto.EVP_PKEY_get_bits(key);
  return facts;
}

}  // namespace p11agent::platform
