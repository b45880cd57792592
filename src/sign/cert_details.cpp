#include "sign/cert_details.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "sign/pin_prompt.h"
#include "text/time_text.h"
#include "token/certificate.h"

namespace p11agent {

namespace {

constexpr std::string_view RSA_OID = "1.2.840.113549.1.1.1";
constexpr std::string_view EC_OID = "1.2.840.10045.2.1";

struct NamedCurve {
  std::string_view oid;
  std::string_view name;
  int bits;
};
constexpr std::array<NamedCurve, 3> NAMED_CURVES = {{
    {"1.2.840.10045.3.1.7", "P-256", 256},
    {"1.3.132.0.34", "P-384", 384},
    {"1.3.132.0.35", "P-521", 521},
}};

const NamedCurve* named_curve(const platform::CertFacts& facts) {
  for (const NamedCurve& curve : NAMED_CURVES)
    if (facts.curve == curve.oid) return &curve;
  return nullptr;
}

// In the extension's bit order: digitalSignature (0x80) … encipherOnly (0x01), decipherOnly (0x8000).
constexpr std::array<std::pair<std::uint16_t, std::string_view>, 9> KEY_USAGES = {{
    {0x80, "digitalSignature"},
    {0x40, "nonRepudiation"},
    {0x20, "keyEncipherment"},
    {0x10, "dataEncipherment"},
    {0x08, "keyAgreement"},
    {0x04, "keyCertSign"},
    {0x02, "cRLSign"},
    {0x01, "encipherOnly"},
    {0x8000, "decipherOnly"},
}};

}  // namespace

CertDetails cert_details(std::span<const std::uint8_t> der) {
  const CertNames names = cert_names(der);
  return CertDetails{prompt_name(names.subject, PROMPT_SUBJECT_BOUND), prompt_name(names.issuer, PROMPT_ISSUER_BOUND),
                     platform::read_cert_facts(der)};
}

std::string key_type_name(const platform::CertFacts& facts) {
  if (facts.key_algorithm == RSA_OID) return "RSA";
  if (facts.key_algorithm == EC_OID) return "EC";
  return facts.key_algorithm;
}

int key_size(const platform::CertFacts& facts) {
  if (facts.key_algorithm == EC_OID) {
    const NamedCurve* curve = named_curve(facts);
    return curve != nullptr ? curve->bits : 0;
  }
  return facts.key_bits;
}

std::string curve_name(const platform::CertFacts& facts) {
  if (facts.key_algorithm != EC_OID) return "";
  const NamedCurve* curve = named_curve(facts);
  return curve != nullptr ? std::string(curve->name) : facts.curve;
}

KeyFacts cert_key_facts(std::span<const std::uint8_t> der) { return key_facts_of(platform::read_cert_facts(der)); }

KeyFacts key_facts_of(const std::optional<platform::CertFacts>& facts) {
  if (!facts) return {};
  KeyFacts key;
  if (facts->key_algorithm == RSA_OID) key.type = CKK_RSA;
  if (facts->key_algorithm == EC_OID) key.type = CKK_EC;
  key.bits = key_size(*facts);
  return key;
}

std::vector<std::string> key_usage_names(std::uint16_t bits) {
  std::vector<std::string> names;
  for (const auto& [bit, name] : KEY_USAGES)
    if (bits & bit) names.emplace_back(name);
  return names;
}

bool serves(const platform::CertFacts& facts, Purpose purpose) {
  if (purpose == Purpose::Signing) return !facts.key_usage || (*facts.key_usage & NON_REPUDIATION) != 0;
  const bool signs = !facts.key_usage || (*facts.key_usage & DIGITAL_SIGNATURE) != 0;
  return signs && (!facts.eku || std::ranges::find(*facts.eku, CLIENT_AUTH_OID) != facts.eku->end());
}

std::string_view purpose_name(Purpose purpose) { return purpose == Purpose::Signing ? "signing" : "authentication"; }

std::vector<Purpose> cert_purposes(const platform::CertFacts& facts) {
  std::vector<Purpose> purposes;
  for (Purpose purpose : {Purpose::Signing, Purpose::Authentication})
    if (serves(facts, purpose)) purposes.push_back(purpose);
  return purposes;
}

bool qualified(const platform::CertFacts& facts) { return facts.qc && facts.qc->compliance; }

namespace {

nlohmann::json purposes_member(const platform::CertFacts& facts) {
  nlohmann::json names = nlohmann::json::array();
  for (Purpose purpose : cert_purposes(facts)) names.push_back(purpose_name(purpose));
  return names;
}

nlohmann::json qc_member(const std::optional<QcFacts>& qc) {
  if (!qc) return nullptr;
  return {{"compliance", qc->compliance}, {"qscd", qc->qscd}, {"types", qc->types}};
}

}  // namespace

nlohmann::json details_members(const TokenCert& cert, const CertDetails& details) {
  nlohmann::json members = {{"subject", details.subject},
                            {"issuer", details.issuer},
                            {"token_label", cert.token_label},
                            {"has_private_key", cert.has_private_key},
                            {"not_before", nullptr},
                            {"not_after", nullptr},
                            {"key_type", nullptr},
                            {"key_bits", nullptr},
                            {"curve", nullptr},
                            {"key_usage", nullptr},
                            {"eku", nullptr},
                            {"purposes", nullptr},
                            {"qc", nullptr},
                            {"algorithms", offered_algorithms(key_facts_of(details.facts), cert.mechanisms)}};
  if (!details.facts) return members;
  const platform::CertFacts& facts = *details.facts;
  members["not_before"] = rfc3339_utc(facts.not_before);
  members["not_after"] = rfc3339_utc(facts.not_after);
  members["key_type"] = key_type_name(facts);
  if (const int bits = key_size(facts); bits > 0) members["key_bits"] = bits;
  if (std::string curve = curve_name(facts); !curve.empty()) members["curve"] = curve;
  if (facts.key_usage) members["key_usage"] = key_usage_names(*facts.key_usage);
  if (facts.eku) members["eku"] = *facts.eku;
  members["purposes"] = purposes_member(facts);
  members["qc"] = qc_member(facts.qc);
  return members;
}

}  // namespace p11agent
