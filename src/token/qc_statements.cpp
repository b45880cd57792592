#include "token/qc_statements.h"

#include <array>
#include <string_view>

#include "token/der_reader.h"

namespace p11agent {

namespace {

constexpr std::uint8_t SEQUENCE = 0x30;
constexpr std::uint8_t OBJECT_IDENTIFIER = 0x06;

constexpr std::string_view QC_COMPLIANCE = "0.4.0.1862.1.1";
constexpr std::string_view QC_SSCD = "0.4.0.1862.1.4";
constexpr std::string_view QC_TYPE = "0.4.0.1862.1.6";

constexpr std::array<std::pair<std::string_view, std::string_view>, 3> QC_TYPES = {{
    {"0.4.0.1862.1.6.1", "esign"},
    {"0.4.0.1862.1.6.2", "eseal"},
    {"0.4.0.1862.1.6.3", "web"},
}};

std::string type_name(const std::string& oid) {
  for (const auto& [known, name] : QC_TYPES)
    if (oid == known) return std::string(name);
  return oid;
}

// QcType's statementInfo: a SEQUENCE OF OBJECT IDENTIFIER (its content here).
bool read_types(std::span<const std::uint8_t> list, std::vector<std::string>& types) {
  DerReader oids(list);
  while (!oids.at_end()) {
    auto oid = oids.take_element(OBJECT_IDENTIFIER);
    if (!oid) return false;
    std::string dotted = dotted_oid(*oid);
    if (dotted.empty()) return false;
    types.push_back(type_name(dotted));
  }
  return true;
}

}  // namespace

std::optional<QcFacts> read_qc_statements(std::span<const std::uint8_t> value) {
  DerReader outer(value);
  auto statements = outer.take_element(SEQUENCE);
  if (!statements || !outer.at_end()) return std::nullopt;
  QcFacts facts;
  DerReader reader(*statements);
  while (!reader.at_end()) {
    auto statement = reader.take_element(SEQUENCE);
    if (!statement) return std::nullopt;
    DerReader parts(*statement);
    auto id = parts.take_element(OBJECT_IDENTIFIER);
    if (!id) return std::nullopt;
    const std::string oid = dotted_oid(*id);
    if (oid.empty()) return std::nullopt;
    // The optional statementInfo: one element at the most.
    std::optional<std::pair<std::uint8_t, std::span<const std::uint8_t>>> info;
    if (!parts.at_end()) {
      info = parts.take_any();
      if (!info || !parts.at_end()) return std::nullopt;
    }
    if (oid == QC_COMPLIANCE) facts.compliance = true;
    if (oid == QC_SSCD) facts.qscd = true;
    if (oid == QC_TYPE && (!info || info->first != SEQUENCE || !read_types(info->second, facts.types)))
      return std::nullopt;
  }
  return facts;
}

}  // namespace p11agent
