#pragma once
// Logging in to a site with a certificate: the key signs a value bound to the site's origin
// and the challenge its server issued, and the answer is the token the eID web clients
// send, which their server libraries check as it is ("web-eid:1.0").
#include <cstdint>
#include <expected>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "sign/signature_scheme.h"
#include "text/encoding.h"
#include "token/cert_reader.h"

namespace p11agent {

inline constexpr const char* LOGIN_DIGEST_FAILED =
    "cannot compute the value to sign: the system's SHA-2 routine failed";
inline constexpr const char* LOGIN_SIGNATURE_MISFIT = "C_Sign: the token's signature is not the size its key makes";

// The algorithm by the certificate's key: RSA signs RS256 (PKCS #1 v1.5, SHA-256), EC keys
// ES256, ES384 and ES512 by their curve (ECDSA with the curve's hash).
struct LoginAlgorithm {
  std::string_view name;    // "RS256", "ES384"
  int hash_bits = 256;      // of SHA-2
  Algorithm algorithm = Algorithm::RsaPkcs1;
  int signature_bytes = 0;  // r‖s of an EC key, each the curve's size; 0 for RSA (the modulus decides)
};

// The error is the answer to a key no site's server takes: ALGORITHM_NOT_SUPPORTED.
std::expected<LoginAlgorithm, std::string> login_algorithm(const std::optional<platform::CertFacts>& facts);

// M = H(origin) ‖ H(nonce), each as the UTF-8 text it is; nullopt where a digest fails.
std::optional<Bytes> login_value(const LoginAlgorithm& algorithm, std::string_view origin, std::string_view nonce);

// H(M), the digest the key signs; and how it is signed (the algorithm with its hash, so
// that RSA adds the DigestInfo).
std::optional<Bytes> login_digest(const LoginAlgorithm& algorithm, std::string_view origin, std::string_view nonce);
SignatureScheme login_scheme(const LoginAlgorithm& algorithm);

// Whether a signature the token made has the size its key makes (an EC key's r‖s).
bool login_signature_fits(const LoginAlgorithm& algorithm, std::span<const std::uint8_t> signature);

// The answer's auth_token: unverifiedCertificate, algorithm, signature, format, appVersion.
nlohmann::json auth_token(std::span<const std::uint8_t> cert_der, const LoginAlgorithm& algorithm,
                          std::span<const std::uint8_t> signature);

}  // namespace p11agent
