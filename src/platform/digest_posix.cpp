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

std::array<std::uint8_t, 20> sha1(std::span<const std::uint8_t> data) {
  return evp_digest<20>(EVP_sha1(), data);
}

std::array<std::uint8_t, 32> sha256(std::span<const std::uint8_t> data) {
  return evp_digest<32>(EVP_sha256(), data);
}

}  // namespace p11agent::platform
