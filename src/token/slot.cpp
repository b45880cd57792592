#include "token/slot.h"

#include <algorithm>

#include "text/utf8.h"
#include "pkcs11/bounds.h"
#include "token/messages.h"
#include "pkcs11/pkcs11_call.h"

namespace p11agent {

Pkcs11Result<std::vector<CK_SLOT_ID>> slots_with_token(const Pkcs11Module& module) {
  auto& f = module.functions();
  CK_ULONG count = 0;
  if (auto r = call("GetSlotList", f.C_GetSlotList, CK_TRUE, nullptr, &count); !r)
    return std::unexpected(r.error());
  for (int round = 0; round < MAX_SLOT_LIST_ROUNDS; ++round) {
    if (count > MAX_SLOTS) return std::unexpected(Pkcs11Error::returned("GetSlotList", CKR_HOST_MEMORY));
    // Room for one slot at least: a NULL list would turn this call into another count query,
    // and a token that arrived since the first would be lost.
    std::vector<CK_SLOT_ID> slots(std::max<CK_ULONG>(count, 1));
    CK_ULONG returned = count;
    auto rv = call_rv(f.C_GetSlotList, CK_TRUE, slots.data(), &returned);
    if (!rv) return std::unexpected(rv.error());
    if (*rv == CKR_BUFFER_TOO_SMALL) {
      count = returned;  // tokens arrived between the two calls
      continue;
    }
    if (*rv != CKR_OK) return std::unexpected(Pkcs11Error::returned("GetSlotList", *rv));
    slots.resize(std::min(count, returned));
    return slots;
  }
  // A module that never settles on a count is not going to.
  return std::unexpected(Pkcs11Error::returned("GetSlotList", CKR_BUFFER_TOO_SMALL));
}

std::expected<OpenedModule, std::string> open_module_slots(const std::string& path) {
  auto module = open_module(path);
  if (!module) return std::unexpected(module.error());
  auto slots = slots_with_token(**module);
  if (!slots) return std::unexpected(step::SLOTS_WITH_TOKEN + slots.error().text());
  return OpenedModule{std::move(*module), std::move(*slots)};
}

std::optional<CK_TOKEN_INFO> read_token_info(const Pkcs11Module& module, CK_SLOT_ID slot) {
  CK_TOKEN_INFO info{};
  if (!call("GetTokenInfo", module.functions().C_GetTokenInfo, slot, &info)) return std::nullopt;
  return info;
}

namespace {

bool all_digits(const unsigned char* p, int n) {
  return std::all_of(p, p + n, [](unsigned char c) { return c >= '0' && c <= '9'; });
}

// A clock token's utcTime is YYYYMMDDhhmmss followed by two reserved characters.
bool clock_time_is_readable(const CK_TOKEN_INFO& info) {
  if ((info.flags & CKF_CLOCK_ON_TOKEN) == 0) return true;
  return all_digits(info.utcTime, 14);
}

std::string decoded_without_trailing_spaces(const unsigned char* field, std::size_t size) {
  std::string text = decode_utf8_lossy({field, size});
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

bool is_space_or_control(std::uint32_t c) {
  return c == 0x20 || c <= 0x1F || (c >= 0x7F && c <= 0x9F);
}

// Drops spaces and control characters (C0, DEL, C1) from both ends of valid UTF-8.
std::string trim_spaces_and_controls(const std::string& text) {
  return std::string(trim_matching(text, is_space_or_control));
}

}  // namespace

std::optional<TokenIdentity> identity_of(const CK_TOKEN_INFO& info) {
  if (!clock_time_is_readable(info)) return std::nullopt;
  return TokenIdentity{decoded_without_trailing_spaces(info.label, sizeof info.label),
                       decoded_without_trailing_spaces(info.serialNumber, sizeof info.serialNumber)};
}

std::optional<TokenIdentity> read_token_label_serial(const Pkcs11Module& module, CK_SLOT_ID slot) {
  auto info = read_token_info(module, slot);
  return info ? identity_of(*info) : std::nullopt;
}

std::optional<TokenIdentity> listing_identity_of(const CK_TOKEN_INFO& info) {
  auto identity = identity_of(info);
  if (!identity) return std::nullopt;
  return TokenIdentity{trim_spaces_and_controls(identity->label),
                       trim_spaces_and_controls(identity->serial)};
}

std::optional<TokenIdentity> token_identity(const Pkcs11Module& module, CK_SLOT_ID slot) {
  auto info = read_token_info(module, slot);
  return info ? listing_identity_of(*info) : std::nullopt;
}

std::string white_space_trimmed_serial(const Pkcs11Module& module, CK_SLOT_ID slot) {
  auto identity = read_token_label_serial(module, slot);
  return identity ? std::string(trim_white_space(identity->serial)) : std::string();
}

}  // namespace p11agent
