#include "sign/signature_scheme.h"

#include <algorithm>
#include <array>

namespace p11agent {

// The hashes a request may name: the DigestInfo that PKCS #1 v1.5 puts before the digest,
// the token's digest mechanism (RSA-PSS's hashAlg) and MGF1 with it. The SHA-2 hashes of
// 256 bits and more are offered by every token that signs with RSA-PSS; the others only
// where the token lists their digest.
struct HashAlgorithm {
  std::string_view name;
  std::size_t length;
  std::array<std::uint8_t, 19> digest_info;
  CK_MECHANISM_TYPE digest;
  CK_RSA_PKCS_MGF_TYPE mgf;
  bool offered_everywhere;
};

namespace {

// PKCS #11 3.0 names these; the v2.40 header does not.
constexpr CK_MECHANISM_TYPE CKM_SHA3_256_DIGEST = 0x2B0, CKM_SHA3_384_DIGEST = 0x2C0, CKM_SHA3_512_DIGEST = 0x2D0;
constexpr CK_RSA_PKCS_MGF_TYPE MGF1_SHA3_256 = 7, MGF1_SHA3_384 = 8, MGF1_SHA3_512 = 9;

// DigestInfo ::= SEQUENCE { SEQUENCE { OID 2.16.840.1.101.3.4.2.<n>, NULL }, OCTET STRING <length> }
constexpr std::array<std::uint8_t, 19> digest_info(std::uint8_t total, std::uint8_t arc, std::uint8_t length) {
  return {0x30, total, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, arc, 0x05, 0x00, 0x04, length};
}

constexpr std::array<HashAlgorithm, 7> HASHES = {{
    {"SHA-224", 28, digest_info(0x2d, 0x04, 28), CKM_SHA224, CKG_MGF1_SHA224, false},
    {"SHA-256", 32, digest_info(0x31, 0x01, 32), CKM_SHA256, CKG_MGF1_SHA256, true},
    {"SHA-384", 48, digest_info(0x41, 0x02, 48), CKM_SHA384, CKG_MGF1_SHA384, true},
    {"SHA-512", 64, digest_info(0x51, 0x03, 64), CKM_SHA512, CKG_MGF1_SHA512, true},
    {"SHA3-256", 32, digest_info(0x31, 0x08, 32), CKM_SHA3_256_DIGEST, MGF1_SHA3_256, false},
    {"SHA3-384", 48, digest_info(0x41, 0x09, 48), CKM_SHA3_384_DIGEST, MGF1_SHA3_384, false},
    {"SHA3-512", 64, digest_info(0x51, 0x0a, 64), CKM_SHA3_512_DIGEST, MGF1_SHA3_512, false},
}};

constexpr std::array<std::pair<std::string_view, Algorithm>, 3> ALGORITHMS = {{
    {"RSA-PKCS1", Algorithm::RsaPkcs1},
    {"RSA-PSS", Algorithm::RsaPss},
    {"ECDSA", Algorithm::Ecdsa},
}};

std::string_view name_of(Algorithm algorithm) {
  return std::ranges::find(ALGORITHMS, algorithm, &std::pair<std::string_view, Algorithm>::second)->first;
}

CK_MECHANISM_TYPE mechanism_of(Algorithm algorithm) {
  switch (algorithm) {
    case Algorithm::RsaPss: return CKM_RSA_PKCS_PSS;
    case Algorithm::Ecdsa: return CKM_ECDSA;
    case Algorithm::RsaPkcs1: break;
  }
  return CKM_RSA_PKCS;
}

// Whether the key's size is within the range the token gives. ECDSA's range is in bits by
// the standard and in bytes on some tokens: either reading passes.
bool size_fits(const CK_MECHANISM_INFO& info, CK_MECHANISM_TYPE mechanism, int bits) {
  auto within = [&](unsigned long size) { return size >= info.ulMinKeySize && size <= info.ulMaxKeySize; };
  if (bits <= 0) return true;
  const auto size = static_cast<unsigned long>(bits);
  return within(size) || (mechanism == CKM_ECDSA && within((size + 7) / 8));
}

// Whether the token signs with this mechanism and a key of this size (a token that does
// not tell is taken at its word).
bool token_signs(const TokenMechanisms& mechanisms, CK_MECHANISM_TYPE mechanism, int bits) {
  if (!mechanisms) return true;
  const MechanismInfo* listed = find_mechanism(*mechanisms, mechanism);
  if (listed == nullptr) return false;
  if (!listed->info) return true;
  return (listed->info->flags & CKF_SIGN) != 0 && size_fits(*listed->info, mechanism, bits);
}

bool token_hashes(const TokenMechanisms& mechanisms, const HashAlgorithm& hash) {
  return hash.offered_everywhere || (mechanisms && find_mechanism(*mechanisms, hash.digest) != nullptr);
}

// Whether an RSA-PSS encoding with this hash (and a salt as long) fits the key: its
// encoded message has ceil((bits - 1) / 8) bytes and needs twice the hash and two more. A
// key of unknown size is tried as asked.
bool pss_fits(const HashAlgorithm& hash, int bits) {
  if (bits <= 0) return true;
  const auto encoded = (static_cast<std::size_t>(bits) - 1 + 7) / 8;
  return encoded >= 2 * hash.length + 2;
}

std::string list_text(const std::vector<std::string>& names) {
  if (names.empty()) return "the key offers no signature the agent makes";
  std::string text = "the key offers ";
  for (std::size_t i = 0; i < names.size(); ++i) text += (i == 0 ? "" : ", ") + names[i];
  return text;
}

// "ASN.1 INTEGER" of an unsigned big-endian number.
void append_integer(Bytes& out, std::span<const std::uint8_t> value) {
  while (value.size() > 1 && value.front() == 0) value = value.subspan(1);
  const bool pad = !value.empty() && (value.front() & 0x80) != 0;
  out.push_back(0x02);
  out.push_back(static_cast<std::uint8_t>(value.size() + (pad ? 1 : 0)));
  if (pad) out.push_back(0x00);
  out.insert(out.end(), value.begin(), value.end());
}

}  // namespace

std::expected<SignatureScheme, std::string> parse_signature_scheme(const std::optional<std::string>& algorithm,
                                                                   const std::optional<std::string>& hash,
                                                                   const std::optional<std::string>& format,
                                                                   std::size_t data_bytes) {
  SignatureScheme scheme;
  if (algorithm) {
    auto named = std::ranges::find(ALGORITHMS, *algorithm, &std::pair<std::string_view, Algorithm>::first);
    if (named == ALGORITHMS.end()) return std::unexpected(R"(algorithm must be "RSA-PKCS1", "RSA-PSS" or "ECDSA")");
    scheme.algorithm = named->second;
  }
  if (hash) {
    auto named = std::ranges::find(HASHES, *hash, &HashAlgorithm::name);
    if (named == HASHES.end())
      return std::unexpected(
          R"(hash must be "SHA-224", "SHA-256", "SHA-384", "SHA-512", "SHA3-256", "SHA3-384" or "SHA3-512")");
    scheme.hash = &*named;
    if (data_bytes != named->length)
      return std::unexpected("hash_hex must be a " + std::string(named->name) + " digest of " +
                             std::to_string(named->length) + " bytes, not " + std::to_string(data_bytes));
  }
  if (format && *format != "raw" && *format != "der") return std::unexpected(R"(signature_format must be "raw" or "der")");
  scheme.der = format == "der";
  if (scheme.algorithm == Algorithm::RsaPss && scheme.hash == nullptr)
    return std::unexpected("RSA-PSS needs hash: the digest's algorithm is one of its parameters");
  if (scheme.der && scheme.algorithm && scheme.algorithm != Algorithm::Ecdsa)
    return std::unexpected(R"(signature_format "der" is for ECDSA signatures)");
  return scheme;
}

std::expected<SignPlan, std::string> plan_signature(const SignatureScheme& scheme, const KeyFacts& key,
                                                    const TokenMechanisms& mechanisms) {
  const bool ec_key = key.type == CKK_EC;
  const Algorithm algorithm =
      scheme.algorithm.value_or(ec_key || (!key.type && scheme.der) ? Algorithm::Ecdsa : Algorithm::RsaPkcs1);
  std::string asked(name_of(algorithm));
  if (scheme.hash != nullptr) asked += "/" + std::string(scheme.hash->name);
  if (scheme.der && algorithm != Algorithm::Ecdsa) return std::unexpected(R"(signature_format "der" is for ECDSA signatures)");
  const CK_MECHANISM_TYPE mechanism = mechanism_of(algorithm);
  const bool type_fits = !key.type || (algorithm == Algorithm::Ecdsa) == ec_key;
  if (!type_fits || !token_signs(mechanisms, mechanism, key.bits) ||
      (algorithm == Algorithm::RsaPss && (!token_hashes(mechanisms, *scheme.hash) || !pss_fits(*scheme.hash, key.bits))))
    return std::unexpected(ALGORITHM_NOT_SUPPORTED + asked + " (" + list_text(offered_algorithms(key, mechanisms)) + ")");
  SignPlan plan{asked, mechanism, std::nullopt, {}, scheme.der};
  if (algorithm == Algorithm::RsaPss)
    plan.pss = CK_RSA_PKCS_PSS_PARAMS{scheme.hash->digest, scheme.hash->mgf, static_cast<CK_ULONG>(scheme.hash->length)};
  if (algorithm == Algorithm::RsaPkcs1 && scheme.hash != nullptr) plan.prefix = scheme.hash->digest_info;
  return plan;
}

Bytes signed_input(const SignPlan& plan, std::span<const std::uint8_t> data) {
  Bytes input(plan.prefix.begin(), plan.prefix.end());
  input.insert(input.end(), data.begin(), data.end());
  return input;
}

std::optional<Bytes> answered_signature(const SignPlan& plan, Bytes signature) {
  if (!plan.der) return signature;
  if (signature.empty() || signature.size() % 2 != 0 || signature.size() > 2 * 127 - 6) return std::nullopt;
  const std::size_t half = signature.size() / 2;
  Bytes body;
  append_integer(body, std::span(signature).first(half));
  append_integer(body, std::span(signature).subspan(half));
  Bytes der = {0x30};
  if (body.size() > 127) der.push_back(0x81);
  der.push_back(static_cast<std::uint8_t>(body.size()));
  der.insert(der.end(), body.begin(), body.end());
  return der;
}

std::vector<std::string> offered_algorithms(const KeyFacts& key, const TokenMechanisms& mechanisms) {
  std::vector<std::string> offered;
  if (key.type == CKK_EC) {
    if (token_signs(mechanisms, CKM_ECDSA, key.bits)) offered.emplace_back("ECDSA");
    return offered;
  }
  if (key.type != CKK_RSA) return offered;
  if (token_signs(mechanisms, CKM_RSA_PKCS, key.bits)) offered.emplace_back("RSA-PKCS1");
  if (token_signs(mechanisms, CKM_RSA_PKCS_PSS, key.bits))
    for (const HashAlgorithm& hash : HASHES)
      if (token_hashes(mechanisms, hash) && pss_fits(hash, key.bits)) offered.push_back("RSA-PSS/" + std::string(hash.name));
  return offered;
}

bool is_algorithm_refusal(CK_RV rv) {
  return rv == CKR_MECHANISM_INVALID || rv == CKR_MECHANISM_PARAM_INVALID || rv == CKR_KEY_TYPE_INCONSISTENT ||
         rv == CKR_KEY_FUNCTION_NOT_PERMITTED;
}

}  // namespace p11agent
