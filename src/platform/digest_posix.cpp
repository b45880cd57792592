#include "platform/digest.h"

#include <openssl/evp.h>

namespace p11agent::platform {

namespace {
template <std::size_t N>
std::optional<std::array<std::uint8_t, N>> evp_digest(const EVP_MD* md, std::span<const std::uint8_t> data) {
  if (md == nullptr) return std::nullopt;
  std::array<std::uint8_t, N> out{};
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), out.data(), &length, md, nullptr) != 1 || length != N) return std::nullopt;
  return out;
}
}  // namespace

// Fetched once: an implicit fetch on every digest costs a provider look-up under a lock.
std::optional<Sha1> sha1(std::span<const std::uint8_t> data) {
  static EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA1", nullptr);
  return evp_digest<20>(md, data);
}

std::optional<Sha256> sha256(std::span<const std::uint8_t> data) {
  static EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return evp_digest<32>(md, data);
}

}  // namespace p11agent::platform
