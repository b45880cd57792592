#include "platform/digest.h"

#include <windows.h>
#include <bcrypt.h>

namespace p11agent::platform {

namespace {
template <std::size_t N>
std::array<std::uint8_t, N> cng_digest(BCRYPT_ALG_HANDLE algorithm,
                                       std::span<const std::uint8_t> data) {
  std::array<std::uint8_t, N> out{};
  // BCryptHash takes a ULONG length; hash larger inputs in ULONG-sized pieces.
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) != 0) return out;
  while (!data.empty()) {
    std::size_t piece = data.size() > 0x40000000 ? 0x40000000 : data.size();
    BCryptHashData(hash, const_cast<PUCHAR>(data.data()), static_cast<ULONG>(piece), 0);
    data = data.subspan(piece);
  }
  BCryptFinishHash(hash, out.data(), static_cast<ULONG>(N), 0);
  BCryptDestroyHash(hash);
  return out;
}

BCRYPT_ALG_HANDLE provider(LPCWSTR name) {
  BCRYPT_ALG_HANDLE handle = nullptr;
  BCryptOpenAlgorithmProvider(&handle, name, nullptr, 0);
  return handle;
}
}  // namespace

std::array<std::uint8_t, 20> sha1(std::span<const std::uint8_t> data) {
  static const BCRYPT_ALG_HANDLE algorithm = provider(BCRYPT_SHA1_ALGORITHM);
  return cng_digest<20>(algorithm, data);
}

std::array<std::uint8_t, 32> sha256(std::span<const std::uint8_t> data) {
  static const BCRYPT_ALG_HANDLE algorithm = provider(BCRYPT_SHA256_ALGORITHM);
  return cng_digest<32>(algorithm, data);
}

}  // namespace p11agent::platform
