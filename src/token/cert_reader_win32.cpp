// Certificates read with the system's CryptoAPI.
#include "token/cert_reader.h"

#include <memory>
#include <string>

#include <windows.h>
#include <wincrypt.h>

#include "token/cert_reader_checks.h"
#include "token/der_reader.h"

namespace p11agent::platform {

namespace {

constexpr DWORD ENCODING = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// Seconds between 1601-01-01 (FILETIME's start) and 1970-01-01.
constexpr std::int64_t FILETIME_EPOCH_SECONDS = 11644473600;

std::int64_t unix_seconds(const FILETIME& time) {
  const std::uint64_t ticks = (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  return static_cast<std::int64_t>(ticks / 10000000) - FILETIME_EPOCH_SECONDS;
}

// An OBJECT IDENTIFIER's DER (tag, length, content) as dotted text; "" when it is not one.
std::string dotted_oid_element(const CRYPT_OBJID_BLOB& blob) {
  if (blob.cbData < 3 || blob.pbData[0] != 0x06 || blob.pbData[1] != blob.cbData - 2) return "";
  return dotted_oid({blob.pbData + 2, blob.cbData - 2});
}

struct ContextFree {
  void operator()(PCCERT_CONTEXT context) const { CertFreeCertificateContext(context); }
};

// The extended key usage OIDs of the extension; nullopt when it does not decode.
std::optional<std::vector<std::string>> enhanced_key_usage(const CERT_EXTENSION& extension) {
  CERT_ENHKEY_USAGE* usage = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(ENCODING, X509_ENHANCED_KEY_USAGE, extension.Value.pbData, extension.Value.cbData,
                           CRYPT_DECODE_ALLOC_FLAG, nullptr, &usage, &size))
    return std::nullopt;
  std::vector<std::string> oids;
  for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) oids.emplace_back(usage->rgpszUsageIdentifier[i]);
  LocalFree(usage);
  return oids;
}

// The keyUsage bits; nullopt when the extension does not decode.
std::optional<std::uint16_t> key_usage_bits(const CERT_EXTENSION& extension) {
  CRYPT_BIT_BLOB* bits = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(ENCODING, X509_KEY_USAGE, extension.Value.pbData, extension.Value.cbData,
                           CRYPT_DECODE_ALLOC_FLAG, nullptr, &bits, &size))
    return std::nullopt;
  std::uint16_t value = 0;
  if (bits->cbData > 0) value = bits->pbData[0];
  if (bits->cbData > 1) value |= static_cast<std::uint16_t>(bits->pbData[1] << 8);
  LocalFree(bits);
  // Bits past decipherOnly are not keyUsage's.
  return static_cast<std::uint16_t>(value & 0x80FF);
}

}  // namespace

std::optional<CertFacts> read_cert_facts(std::span<const std::uint8_t> der) {
  if (!is_one_der_value(der) || der.size() > MAXDWORD) return std::nullopt;
  std::unique_ptr<const CERT_CONTEXT, ContextFree> context(
      CertCreateCertificateContext(ENCODING, der.data(), static_cast<DWORD>(der.size())));
  if (!context) return std::nullopt;
  const CERT_INFO& info = *context->pCertInfo;
  CertFacts facts;
  facts.not_before = unix_seconds(info.NotBefore);
  facts.not_after = unix_seconds(info.NotAfter);
  if (const CERT_EXTENSION* extension = CertFindExtension(szOID_KEY_USAGE, info.cExtension, info.rgExtension)) {
    facts.key_usage = key_usage_bits(*extension);
    if (!facts.key_usage) return std::nullopt;
  }
  if (const CERT_EXTENSION* extension = CertFindExtension(szOID_ENHANCED_KEY_USAGE, info.cExtension, info.rgExtension)) {
    facts.eku = enhanced_key_usage(*extension);
    if (!facts.eku) return std::nullopt;
  }
  // CryptoAPI has no parser of the qualified-certificate statements: the agent reads them.
  if (const CERT_EXTENSION* extension = CertFindExtension(QC_STATEMENTS_OID, info.cExtension, info.rgExtension)) {
    facts.qc = read_qc_statements({extension->Value.pbData, extension->Value.cbData});
    if (!facts.qc) return std::nullopt;
  }
  const CERT_PUBLIC_KEY_INFO& key = info.SubjectPublicKeyInfo;
  facts.key_algorithm = key.Algorithm.pszObjId != nullptr ? key.Algorithm.pszObjId : "";
  if (facts.key_algorithm == szOID_ECC_PUBLIC_KEY) facts.curve = dotted_oid_element(key.Algorithm.Parameters);
  if (facts.key_algorithm == szOID_RSA_RSA)
    facts.key_bits = static_cast<int>(CertGetPublicKeyLength(X509_ASN_ENCODING, const_cast<CERT_PUBLIC_KEY_INFO*>(&key)));
  return facts;
}

}  // namespace p11agent::platform
