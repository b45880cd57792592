#pragma once
// What an application and the picker learn about a certificate: its names as the prompt
// shows them, its validity, what its key is and may do.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "token/cert_reader.h"
#include "sign/signature_scheme.h"
#include "token/token_certs.h"

namespace p11agent {

struct CertDetails {
  std::string subject;  // as the prompt shows them
  std::string issuer;
  // nullopt where the system's parser does not read the certificate: it then passes no
  // filter that asks for what it would say, and cannot be chosen.
  std::optional<platform::CertFacts> facts;
};

CertDetails cert_details(std::span<const std::uint8_t> der);

// "RSA", "EC", or the key algorithm's OID.
std::string key_type_name(const platform::CertFacts& facts);

// An RSA modulus's bits; an EC key's curve size (0 for a curve not named here).
int key_size(const platform::CertFacts& facts);

// "P-256", "P-384", "P-521", else the curve's OID; "" for a key that is not EC.
std::string curve_name(const platform::CertFacts& facts);

// The certificate's public key as a key the agent signs with: CKK_RSA or CKK_EC and its
// size; unknown where the system's parser does not read it.
KeyFacts cert_key_facts(std::span<const std::uint8_t> der);
KeyFacts key_facts_of(const std::optional<platform::CertFacts>& facts);

// keyUsage bits as the extension defines them, and their names.
inline constexpr std::uint16_t DIGITAL_SIGNATURE = 0x80;
inline constexpr std::uint16_t NON_REPUDIATION = 0x40;
std::vector<std::string> key_usage_names(std::uint16_t bits);

// What a certificate is for, by what it says of itself: signing (keyUsage has
// nonRepudiation), logging in (keyUsage has digitalSignature, and the extended key usage is
// absent or holds clientAuth). Without keyUsage it may serve both.
enum class Purpose { Signing, Authentication };
inline constexpr std::string_view CLIENT_AUTH_OID = "1.3.6.1.5.5.7.3.2";
bool serves(const platform::CertFacts& facts, Purpose purpose);
// "signing", "authentication".
std::string_view purpose_name(Purpose purpose);
// The certificate's purposes, signing first.
std::vector<Purpose> cert_purposes(const platform::CertFacts& facts);
// Whether the certificate is qualified for signatures (its statements say QcCompliance).
bool qualified(const platform::CertFacts& facts);

// The members a listing with details adds to a certificate's entry: subject, issuer,
// not_before, not_after (RFC 3339, UTC), key_type, key_bits, curve, key_usage, eku,
// token_label, has_private_key, purposes, qc, and algorithms (what the key can make on its
// token, by the mechanisms the certificate carries). What the certificate does not say is
// null.
nlohmann::json details_members(const TokenCert& cert, const CertDetails& details);

}  // namespace p11agent
