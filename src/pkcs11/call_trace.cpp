#include "pkcs11/call_trace.h"

#include <array>
#include <cstdio>
#include <vector>

#include "trace/trace.h"
#include "text/json_fields.h"
#include "pkcs11/pkcs11_error.h"

namespace p11agent {

namespace {

using host_protocol::Call;

struct Named {
  CK_ULONG value;
  std::string_view name;
};

constexpr std::array<Named, 18> ATTRIBUTES = {{
    {CKA_CLASS, "CKA_CLASS"},
    {CKA_TOKEN, "CKA_TOKEN"},
    {CKA_PRIVATE, "CKA_PRIVATE"},
    {CKA_LABEL, "CKA_LABEL"},
    {CKA_VALUE, "CKA_VALUE"},
    {CKA_CERTIFICATE_TYPE, "CKA_CERTIFICATE_TYPE"},
    {CKA_ISSUER, "CKA_ISSUER"},
    {CKA_SERIAL_NUMBER, "CKA_SERIAL_NUMBER"},
    {CKA_KEY_TYPE, "CKA_KEY_TYPE"},
    {CKA_SUBJECT, "CKA_SUBJECT"},
    {CKA_ID, "CKA_ID"},
    {CKA_ENCRYPT, "CKA_ENCRYPT"},
    {CKA_SIGN, "CKA_SIGN"},
    {CKA_MODULUS, "CKA_MODULUS"},
    {CKA_EXTRACTABLE, "CKA_EXTRACTABLE"},
    {CKA_EC_PARAMS, "CKA_EC_PARAMS"},
    {CKA_ALWAYS_AUTHENTICATE, "CKA_ALWAYS_AUTHENTICATE"},
    {CKA_MODIFIABLE, "CKA_MODIFIABLE"},
}};

// The mechanisms the agent signs with, and asks about.
constexpr std::array<Named, 3> MECHANISMS = {{
    {CKM_RSA_PKCS, "CKM_RSA_PKCS"},
    {CKM_RSA_PKCS_PSS, "CKM_RSA_PKCS_PSS"},
    {CKM_ECDSA, "CKM_ECDSA"},
}};

template <std::size_t N>
std::string name_in(const std::array<Named, N>& names, CK_ULONG value) {
  for (const Named& named : names)
    if (named.value == value) return std::string(named.name);
  char hex[24];
  std::snprintf(hex, sizeof hex, "0x%08lx", static_cast<unsigned long>(value));
  return hex;
}

}  // namespace

std::string_view function_name(Call call) {
  switch (call) {
    case Call::Load: return "C_GetFunctionList";
    case Call::Initialize: return "C_Initialize";
    case Call::Finalize: return "C_Finalize";
    case Call::GetSlotList: return "C_GetSlotList";
    case Call::GetTokenInfo: return "C_GetTokenInfo";
    case Call::OpenSession: return "C_OpenSession";
    case Call::CloseSession: return "C_CloseSession";
    case Call::Login: return "C_Login";
    case Call::Logout: return "C_Logout";
    case Call::FindObjectsInit: return "C_FindObjectsInit";
    case Call::FindObjects: return "C_FindObjects";
    case Call::FindObjectsFinal: return "C_FindObjectsFinal";
    case Call::GetAttributeValue: return "C_GetAttributeValue";
    case Call::SignInit:
    case Call::SignInitAhead: return "C_SignInit";
    case Call::Sign:
    case Call::SignForLength: return "C_Sign";
    case Call::GetSessionInfo: return "C_GetSessionInfo";
    case Call::GetMechanismList: return "C_GetMechanismList";
    case Call::GetMechanismInfo: return "C_GetMechanismInfo";
    case Call::WatchTokens: return "C_GetSlotList";
  }
  return "?";
}

std::string mechanism_name(CK_MECHANISM_TYPE type) { return name_in(MECHANISMS, type); }
std::string attribute_name(CK_ATTRIBUTE_TYPE type) { return name_in(ATTRIBUTES, type); }

void trace_call(const std::string& module, const CallFacts& facts, CK_RV rv, std::chrono::steady_clock::duration took) {
  JsonFields line;
  line.text("fn", function_name(facts.call)).text("module", module);
  if (facts.slot) line.number("slot", static_cast<std::int64_t>(*facts.slot));
  if (facts.session) line.number("session", static_cast<std::int64_t>(*facts.session));
  if (facts.mechanism) line.text("mechanism", mechanism_name(*facts.mechanism));
  if (!facts.attributes.empty()) {
    std::vector<std::string> names;
    for (const CK_ATTRIBUTE& attribute : facts.attributes) names.push_back(attribute_name(attribute.type));
    line.texts("attributes", names);
  }
  // A host's own values (no answer, ended) read as what they are, not as a module's.
  const std::optional<Pkcs11Error> host_failure = Pkcs11Error::of_host(rv);
  line.text("rv", host_failure ? host_failure->text() : rv_name(rv));
  line.number("us", std::chrono::duration_cast<std::chrono::microseconds>(took).count());
  platform::trace("call", line.str());
}

void trace_host(std::string_view what, const std::string& module, std::string_view detail_key, std::string_view detail) {
  JsonFields line;
  line.text("what", what).text("module", module);
  if (!detail_key.empty()) line.text(detail_key, detail);
  platform::trace("host", line.str(), what == "deadline" ? platform::TraceWrite::Now : platform::TraceWrite::WithNext);
}

}  // namespace p11agent
