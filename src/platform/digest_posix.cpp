#include "platform/digest.h"

#include <openssl/evp.h>

namespace p11agent::platform {

namespace {
template <std::size_t N>
std::array<std::uint8_t, N> evp_digest(const EVP_MD* md, std::span<const std::uint8_t> data) {
  std::array<std::uint8_t, N> out{};
  unsigned int len = 0;
  EVP_Digest(data.data(), data.size(), out.data(), &len, md, nullptr);
  return out;
}
}  // namespace

// Fetched once: an implicit fetch on every digest costs a provider look-up under a lock.
std::array<std::uint8_t, 20> sha1(std::span<const std::uint8_t> data) {
  static EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA1", nullptr);
  return evp_digest<20>(md, data);
}

std::array<std::uint8_t, 32> sha256(std::span<const std::uint8_t> data) {
  static EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return evp_digest<32>(md, data);
}

}  // namespace p11agent::platform
