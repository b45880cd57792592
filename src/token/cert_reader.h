#pragma once
// What the system's own certificate parser reads from a certificate: its validity, key
// usage, extended key usage, public key and qualified-certificate statements. Both builds answer alike for one certificate.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "token/qc_statements.h"

namespace p11agent::platform {

struct CertFacts {
  // Seconds since 1970-01-01T00:00:00Z.
  std::int64_t not_before = 0;
  std::int64_t not_after = 0;
  // The keyUsage bits as the extension's BIT STRING holds them: digitalSignature is 0x80,
  // nonRepudiation 0x40 … encipherOnly 0x01 in the low byte, decipherOnly 0x8000; nullopt
  // without the extension.
  std::optional<std::uint16_t> key_usage;
  // The extended key usage OIDs, dotted; nullopt without the extension.
  std::optional<std::vector<std::string>> eku;
  std::string key_algorithm;  // the public key's algorithm OID, dotted
  std::string curve;          // an EC key's named curve OID, dotted; "" otherwise
  int key_bits = 0;           // the RSA modulus's bits (0 where unknown)
  std::optional<QcFacts> qc;  // nullopt without the qualified-certificate statements
};

// nullopt for data the system's parser does not take as a certificate, or whose validity
// or extensions it cannot read.
std::optional<CertFacts> read_cert_facts(std::span<const std::uint8_t> der);

}  // namespace p11agent::platform
