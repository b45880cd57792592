#pragma once
// What a sign request asks for: a named algorithm, a hash whose digest it carries, and the
// signature's encoding; checked against the key and its token before any PIN is used, and
// turned into the mechanism, the bytes to sign and the answer's signature.
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "text/encoding.h"
#include "token/mechanisms.h"

namespace p11agent {

// The answer to a signature the key cannot make, before what was asked.
inline constexpr const char* ALGORITHM_NOT_SUPPORTED = "ALGORITHM_NOT_SUPPORTED: ";

enum class Algorithm { RsaPkcs1, RsaPss, Ecdsa };

struct HashAlgorithm;

// A request that names nothing signs as before: the bytes given, by the key's type.
struct SignatureScheme {
  std::optional<Algorithm> algorithm;
  const HashAlgorithm* hash = nullptr;  // the request carries this hash's bare digest
  bool der = false;                     // an ECDSA signature as the DER ECDSA-Sig-Value
  bool named() const { return algorithm || hash || der; }
};

// The request's `algorithm`, `hash` and `signature_format`, and the length of the bytes
// it carries; the error says what is wrong with them.
std::expected<SignatureScheme, std::string> parse_signature_scheme(const std::optional<std::string>& algorithm,
                                                                   const std::optional<std::string>& hash,
                                                                   const std::optional<std::string>& format,
                                                                   std::size_t data_bytes);

// What the agent knows of the key before it signs: its type (CKK_RSA, CKK_EC; nullopt
// where unknown) and size in bits (0 where unknown).
struct KeyFacts {
  std::optional<CK_KEY_TYPE> type;
  int bits = 0;
};

// How one signature is made.
struct SignPlan {
  std::string asked;  // "RSA-PSS/SHA-256", for the answer when the key or the module refuses it
  CK_MECHANISM_TYPE mechanism = CKM_RSA_PKCS;
  std::optional<CK_RSA_PKCS_PSS_PARAMS> pss;  // RSA-PSS: the hash, MGF1 with it, a salt as long
  std::span<const std::uint8_t> prefix;       // RSA PKCS #1 v1.5 with a hash: its DigestInfo
  bool der = false;
};

// The scheme against the key and its token's mechanisms (nullopt: the token does not tell,
// and the signature is tried as asked). A key of unknown type is planned by what was asked.
// The error is the request's answer: "ALGORITHM_NOT_SUPPORTED: <asked> (<what the key
// offers>)".
std::expected<SignPlan, std::string> plan_signature(const SignatureScheme& scheme, const KeyFacts& key,
                                                    const TokenMechanisms& mechanisms);

// The bytes C_Sign is given: the DigestInfo, if any, then the request's.
Bytes signed_input(const SignPlan& plan, std::span<const std::uint8_t> data);

// The signature as answered: an ECDSA r‖s in DER when asked for; nullopt for an r‖s that
// is none (an odd length, or empty).
std::optional<Bytes> answered_signature(const SignPlan& plan, Bytes signature);

// What the key can make on its token, as `algorithm` or `algorithm/hash` names:
// ["RSA-PKCS1", "RSA-PSS/SHA-256", …], ["ECDSA"].
std::vector<std::string> offered_algorithms(const KeyFacts& key, const TokenMechanisms& mechanisms);

// A module's refusal of what was asked of the key when its mechanism list said nothing.
bool is_algorithm_refusal(CK_RV rv);

}  // namespace p11agent
