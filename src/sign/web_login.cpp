#include "sign/web_login.h"

#include <array>

#include "sign/cert_details.h"
#include "system/digest.h"

#ifndef P11AGENT_APP_VERSION_URL
#error "P11AGENT_APP_VERSION_URL names this agent and its version"
#endif

namespace p11agent {

namespace {

constexpr std::string_view TOKEN_FORMAT = "web-eid:1.0";

struct CurveAlgorithm {
  std::string_view curve;  // as curve_name says it
  LoginAlgorithm algorithm;
};
constexpr std::array<CurveAlgorithm, 3> CURVE_ALGORITHMS = {{
    {"P-256", {"ES256", 256, Algorithm::Ecdsa, 64}},
    {"P-384", {"ES384", 384, Algorithm::Ecdsa, 96}},
    {"P-521", {"ES512", 512, Algorithm::Ecdsa, 132}},
}};
constexpr LoginAlgorithm RS256 = {"RS256", 256, Algorithm::RsaPkcs1, 0};

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

std::expected<LoginAlgorithm, std::string> login_algorithm(const std::optional<platform::CertFacts>& facts) {
  const std::string key = facts ? key_type_name(*facts) : "unknown";
  if (key == "RSA") return RS256;
  const std::string curve = facts ? curve_name(*facts) : "";
  for (const CurveAlgorithm& known : CURVE_ALGORITHMS)
    if (key == "EC" && curve == known.curve) return known.algorithm;
  return std::unexpected(std::string(ALGORITHM_NOT_SUPPORTED) + "RS256, ES256, ES384 or ES512 (the key is " + key +
                         (curve.empty() ? "" : " " + curve) + ")");
}

std::optional<Bytes> login_value(const LoginAlgorithm& algorithm, std::string_view origin, std::string_view nonce) {
  auto origin_digest = platform::sha2(algorithm.hash_bits, bytes_of(origin));
  auto nonce_digest = platform::sha2(algorithm.hash_bits, bytes_of(nonce));
  if (!origin_digest || !nonce_digest) return std::nullopt;
  Bytes value(origin_digest->begin(), origin_digest->end());
  value.insert(value.end(), nonce_digest->begin(), nonce_digest->end());
  return value;
}

std::optional<Bytes> login_digest(const LoginAlgorithm& algorithm, std::string_view origin, std::string_view nonce) {
  auto value = login_value(algorithm, origin, nonce);
  if (!value) return std::nullopt;
  return platform::sha2(algorithm.hash_bits, *value);
}

SignatureScheme login_scheme(const LoginAlgorithm& algorithm) {
  const std::string hash = "SHA-" + std::to_string(algorithm.hash_bits);
  const std::string name = algorithm.algorithm == Algorithm::Ecdsa ? "ECDSA" : "RSA-PKCS1";
  // Names the scheme knows, with a digest of its hash's length: it cannot be refused.
  return *parse_signature_scheme(name, hash, std::nullopt, static_cast<std::size_t>(algorithm.hash_bits / 8));
}

bool login_signature_fits(const LoginAlgorithm& algorithm, std::span<const std::uint8_t> signature) {
  if (algorithm.algorithm == Algorithm::Ecdsa) return signature.size() == static_cast<std::size_t>(algorithm.signature_bytes);
  return !signature.empty();
}

nlohmann::json auth_token(std::span<const std::uint8_t> cert_der, const LoginAlgorithm& algorithm,
                          std::span<const std::uint8_t> signature) {
  return {{"unverifiedCertificate", base64_encode(cert_der)},
          {"algorithm", algorithm.name},
          {"signature", base64_encode(signature)},
          {"format", TOKEN_FORMAT},
          {"appVersion", P11AGENT_APP_VERSION_URL}};
}

}  // namespace p11agent
