#include "token/objects.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "pkcs11/bounds.h"
#include "pkcs11/pkcs11_call.h"

namespace p11agent {

namespace {
constexpr CK_ULONG FIND_BATCH = 10;
}  // namespace

Bytes ulong_value(CK_ULONG value) {
  Bytes bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

namespace {
const Bytes CLASS_CERTIFICATE = ulong_value(CKO_CERTIFICATE);
const Bytes CLASS_PRIVATE_KEY = ulong_value(CKO_PRIVATE_KEY);
const TemplateEntry CERTIFICATE_TEMPLATE[] = {{CKA_CLASS, CLASS_CERTIFICATE}};
const TemplateEntry PRIVATE_KEY_TEMPLATE[] = {{CKA_CLASS, CLASS_PRIVATE_KEY}};
}  // namespace

std::span<const TemplateEntry> certificate_template() { return CERTIFICATE_TEMPLATE; }
std::span<const TemplateEntry> private_key_template() { return PRIVATE_KEY_TEMPLATE; }

Pkcs11Result<std::vector<CK_OBJECT_HANDLE>> find_objects(const Session& session,
                                                          std::span<const TemplateEntry> query) {
  auto& f = session.functions();
  std::vector<CK_ATTRIBUTE> attributes;
  for (const auto& entry : query) {
    auto length = to_ck_ulong(entry.value.size());
    if (!length) return std::unexpected(length.error());
    attributes.push_back({entry.type, const_cast<std::uint8_t*>(entry.value.data()), *length});
  }
  auto count = to_ck_ulong(attributes.size());
  if (!count) return std::unexpected(count.error());
  if (auto r = call("FindObjectsInit", f.C_FindObjectsInit, session.handle(), attributes.data(), *count); !r)
    return std::unexpected(r.error());
  // A search cut short is still ended: a module allows one search at a time on a session
  // and would refuse every later one on it (a held session lives on).
  auto cut_short = [&](const Pkcs11Error& error) {
    (void)call("FindObjectsFinal", f.C_FindObjectsFinal, session.handle());
    return std::unexpected(error);
  };
  std::vector<CK_OBJECT_HANDLE> handles;
  for (int round = 0;; ++round) {
    if (round == MAX_FIND_ROUNDS) return cut_short(Pkcs11Error::bound_exceeded("FindObjects"));
    CK_OBJECT_HANDLE batch[FIND_BATCH];
    std::fill(std::begin(batch), std::end(batch), CK_INVALID_HANDLE);
    CK_ULONG found = 0;
    if (auto r = call("FindObjects", f.C_FindObjects, session.handle(), batch, FIND_BATCH, &found); !r)
      return cut_short(r.error());
    if (found == 0) break;
    // A module that claims more than the room it was given wrote at most that room; what
    // it claimed but did not write is still CK_INVALID_HANDLE and is not an object.
    std::copy_if(batch, batch + std::min(found, FIND_BATCH), std::back_inserter(handles),
                 [](CK_OBJECT_HANDLE h) { return h != CK_INVALID_HANDLE; });
  }
  if (auto r = call("FindObjectsFinal", f.C_FindObjectsFinal, session.handle()); !r)
    return std::unexpected(r.error());
  return handles;
}

const Bytes* Attributes::find(CK_ATTRIBUTE_TYPE type) const {
  for (const auto& [t, value] : values_)
    if (t == type) return &value;
  return nullptr;
}

bool ReadBudget::take(std::size_t bytes) {
  if (bytes > remaining_) {
    remaining_ = 0;
    return false;
  }
  remaining_ -= bytes;
  return true;
}

bool is_bound_exceeded(const Pkcs11Error& error) { return error.kind == Pkcs11Error::Kind::BoundExceeded; }

Pkcs11Result<Attributes> get_attributes(const Session& session, CK_OBJECT_HANDLE object,
                                        std::span<const CK_ATTRIBUTE_TYPE> types) {
  ReadBudget budget;
  return get_attributes(session, object, types, budget);
}

Pkcs11Result<Attributes> get_attributes(const Session& session, CK_OBJECT_HANDLE object,
                                        std::span<const CK_ATTRIBUTE_TYPE> types, ReadBudget& budget) {
  auto& f = session.functions();
  std::vector<CK_ATTRIBUTE_TYPE> available;
  std::vector<Bytes> buffers;
  for (CK_ATTRIBUTE_TYPE type : types) {
    CK_ATTRIBUTE probe{type, nullptr, 0};
    auto rv = call_rv(f.C_GetAttributeValue, session.handle(), object, &probe, CK_ULONG{1});
    if (!rv) return std::unexpected(rv.error());
    if (*rv == CKR_ATTRIBUTE_SENSITIVE || *rv == CKR_ATTRIBUTE_TYPE_INVALID) continue;
    if (*rv != CKR_OK) return std::unexpected(Pkcs11Error::returned("GetAttributeValue", *rv));
    // "Unavailable" together with CKR_OK, or an absurd size, leaves the attribute out.
    if (probe.ulValueLen == CK_UNAVAILABLE_INFORMATION || probe.ulValueLen > MAX_ATTRIBUTE_BYTES) continue;
    if (!budget.take(probe.ulValueLen)) return std::unexpected(Pkcs11Error::bound_exceeded("GetAttributeValue"));
    available.push_back(type);
    buffers.emplace_back(probe.ulValueLen, std::uint8_t{0});
  }
  // Never an empty vector's NULL: with nothing left to read the module still gets a valid
  // template of no entries (some answer CKR_ARGUMENTS_BAD to NULL).
  std::vector<CK_ATTRIBUTE> query(std::max<std::size_t>(available.size(), 1));
  for (std::size_t i = 0; i < available.size(); ++i)
    query[i] = {available[i], buffers[i].data(), static_cast<CK_ULONG>(buffers[i].size())};
  auto count = to_ck_ulong(available.size());
  if (!count) return std::unexpected(count.error());
  if (auto r = call("GetAttributeValue", f.C_GetAttributeValue, session.handle(), object, query.data(), *count); !r)
    return std::unexpected(r.error());
  Attributes result;
  for (std::size_t i = 0; i < available.size(); ++i) {
    // Never trust a written-back length beyond the buffer that was handed over.
    buffers[i].resize(std::min<std::size_t>(query[i].ulValueLen, buffers[i].size()));
    result.add(available[i], std::move(buffers[i]));
  }
  return result;
}

}  // namespace p11agent
