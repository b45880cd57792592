#pragma once
// The qualified-certificate statements a certificate makes of itself (the extension
// 1.3.6.1.5.5.7.1.3, ETSI EN 319 412-5): whether it is an EU qualified certificate, whether
// its key is in a qualified signature creation device, and what it is qualified for. Read
// by the agent on both builds alike: neither system parser reads it.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace p11agent {

inline constexpr const char* QC_STATEMENTS_OID = "1.3.6.1.5.5.7.1.3";

struct QcFacts {
  bool compliance = false;  // QcCompliance (0.4.0.1862.1.1)
  bool qscd = false;        // QcSSCD (0.4.0.1862.1.4)
  // QcType (0.4.0.1862.1.6): "esign", "eseal", "web", another type by its dotted OID.
  std::vector<std::string> types;
  bool operator==(const QcFacts&) const = default;
};

// The extension's value (the DER of its SEQUENCE OF QCStatement); nullopt when it does not
// decode as one. Statements the agent does not know are passed over.
std::optional<QcFacts> read_qc_statements(std::span<const std::uint8_t> value);

}  // namespace p11agent
