#include "bare_pkcs11.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace bench {

void fail(const char* what) {
  std::fprintf(stderr, "baseline: %s failed\n", what);
  std::exit(1);
}

BareModule::BareModule(const std::string& path) : library_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
  if (library_ == nullptr) fail("dlopen");
  auto get_list = reinterpret_cast<CK_C_GetFunctionList>(dlsym(library_, "C_GetFunctionList"));
  if (get_list == nullptr || get_list(&functions_) != CKR_OK) fail("C_GetFunctionList");
  CK_C_INITIALIZE_ARGS args{};
  args.flags = CKF_OS_LOCKING_OK;
  if (functions_->C_Initialize(&args) != CKR_OK) fail("C_Initialize");
}

BareModule::~BareModule() {
  functions_->C_Finalize(nullptr);
  dlclose(library_);
}

CK_SLOT_ID BareModule::first_initialised_slot() const {
  CK_SLOT_ID slots[16];
  CK_ULONG count = 16;
  if (functions_->C_GetSlotList(CK_TRUE, slots, &count) != CKR_OK) fail("C_GetSlotList");
  for (CK_ULONG i = 0; i < count; ++i) {
    CK_TOKEN_INFO info{};
    if (functions_->C_GetTokenInfo(slots[i], &info) == CKR_OK && (info.flags & CKF_TOKEN_INITIALIZED)) return slots[i];
  }
  fail("finding an initialised token");
}

CK_SESSION_HANDLE BareModule::open_session(CK_SLOT_ID slot, const std::string& pin, CK_FLAGS flags) const {
  CK_SESSION_HANDLE session = 0;
  if (functions_->C_OpenSession(slot, flags, nullptr, nullptr, &session) != CKR_OK)
    fail("C_OpenSession");
  auto* pin_bytes = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin.data()));
  if (!pin.empty() && functions_->C_Login(session, CKU_USER, pin_bytes, pin.size()) != CKR_OK) fail("C_Login");
  return session;
}

std::vector<CK_OBJECT_HANDLE> BareModule::find(CK_SESSION_HANDLE session, std::vector<CK_ATTRIBUTE> query) const {
  std::vector<CK_OBJECT_HANDLE> found;
  if (functions_->C_FindObjectsInit(session, query.data(), query.size()) != CKR_OK) fail("C_FindObjectsInit");
  for (;;) {
    CK_OBJECT_HANDLE batch[64];
    CK_ULONG count = 0;
    if (functions_->C_FindObjects(session, batch, 64, &count) != CKR_OK) fail("C_FindObjects");
    found.insert(found.end(), batch, batch + count);
    if (count < 64) break;
  }
  functions_->C_FindObjectsFinal(session);
  return found;
}

std::vector<std::vector<CK_BYTE>> BareModule::values(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                                     const std::vector<CK_ATTRIBUTE_TYPE>& types) const {
  std::vector<CK_ATTRIBUTE> query;
  for (CK_ATTRIBUTE_TYPE type : types) query.push_back({type, nullptr, 0});
  if (functions_->C_GetAttributeValue(session, object, query.data(), query.size()) != CKR_OK)
    fail("C_GetAttributeValue");
  std::vector<std::vector<CK_BYTE>> values(query.size());
  for (std::size_t i = 0; i < query.size(); ++i) {
    values[i].resize(query[i].ulValueLen);
    query[i].pValue = values[i].data();
  }
  if (functions_->C_GetAttributeValue(session, object, query.data(), query.size()) != CKR_OK)
    fail("C_GetAttributeValue");
  return values;
}

}  // namespace bench
