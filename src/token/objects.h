#pragma once
// Object search and attribute reading on a session.
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "text/encoding.h"
#include "pkcs11/bounds.h"
#include "token/session.h"

namespace p11agent {

// A search template entry; the value bytes are owned by the caller.
struct TemplateEntry {
  CK_ATTRIBUTE_TYPE type;
  std::span<const std::uint8_t> value;
};

// A CKA_CLASS value in the module's CK_ULONG layout.
Bytes ulong_value(CK_ULONG value);

// The class templates of the certificate and private-key searches.
std::span<const TemplateEntry> certificate_template();
std::span<const TemplateEntry> private_key_template();

// The attribute sets the agent reads from an object.
inline constexpr CK_ATTRIBUTE_TYPE VALUE_ONLY[] = {CKA_VALUE};
inline constexpr CK_ATTRIBUTE_TYPE VALUE_AND_ID[] = {CKA_VALUE, CKA_ID};
inline constexpr CK_ATTRIBUTE_TYPE ID_ONLY[] = {CKA_ID};
inline constexpr CK_ATTRIBUTE_TYPE KEY_TYPE_AND_AUTHENTICATION[] = {CKA_KEY_TYPE, CKA_ALWAYS_AUTHENTICATE};
inline constexpr CK_ATTRIBUTE_TYPE KEY_TYPE_AUTHENTICATION_AND_SIGN[] = {CKA_KEY_TYPE, CKA_ALWAYS_AUTHENTICATE, CKA_SIGN};

// Handles of the matching objects, in the module's order. A module whose search does not
// end within a bounded number of C_FindObjects calls fails with a BoundExceeded error.
Pkcs11Result<std::vector<CK_OBJECT_HANDLE>> find_objects(const Session& session,
                                                          std::span<const TemplateEntry> query);

// The attributes that could be read, in request order; sensitive or unknown ones are
// left out.
class Attributes {
 public:
  void add(CK_ATTRIBUTE_TYPE type, Bytes value) { values_.emplace_back(type, std::move(value)); }
  const Bytes* find(CK_ATTRIBUTE_TYPE type) const;

 private:
  std::vector<std::pair<CK_ATTRIBUTE_TYPE, Bytes>> values_;
};

// What one walk over a module's objects has left to read (MAX_WALK_BYTES).
class ReadBudget {
 public:
  // Takes `bytes` from what is left; false, taking nothing, when that is not enough.
  bool take(std::size_t bytes);

 private:
  std::size_t remaining_ = MAX_WALK_BYTES;
};

// Reads the attributes of `object` against the walk's budget; a read the budget cannot
// pay for fails with a BoundExceeded error, and every later read of the walk with it.
Pkcs11Result<Attributes> get_attributes(const Session& session, CK_OBJECT_HANDLE object,
                                        std::span<const CK_ATTRIBUTE_TYPE> types, ReadBudget& budget);
// One read on its own, with a budget of its own.
Pkcs11Result<Attributes> get_attributes(const Session& session, CK_OBJECT_HANDLE object,
                                        std::span<const CK_ATTRIBUTE_TYPE> types);

// The error of a walk that a module's answers would never let end.
bool is_bound_exceeded(const Pkcs11Error& error);

}  // namespace p11agent
