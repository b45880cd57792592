#include "system/digest.h"

#include <windows.h>
#include <bcrypt.h>

namespace p11agent::platform {

namespace {
bool succeeded(NTSTATUS status) { return status >= 0; }

template <std::size_t N>
std::optional<std::array<std::uint8_t, N>> cng_digest(BCRYPT_ALG_HANDLE algorithm,
                                                      std::span<const std::uint8_t> data) {
  if (algorithm == nullptr) return std::nullopt;
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (!succeeded(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0))) return std::nullopt;
  bool hashed = true;
  // BCryptHashData takes a ULONG length; larger inputs go in ULONG-sized pieces.
  while (hashed && !data.empty()) {
    std::size_t piece = data.size() > 0x40000000 ? 0x40000000 : data.size();
    hashed = succeeded(BCryptHashData(hash, const_cast<PUCHAR>(data.data()), static_cast<ULONG>(piece), 0));
    data = data.subspan(piece);
  }
  std::array<std::uint8_t, N> out{};
  hashed = hashed && succeeded(BCryptFinishHash(hash, out.data(), static_cast<ULONG>(N), 0));
  BCryptDestroyHash(hash);
  if (!hashed) return std::nullopt;
  return out;
}

BCRYPT_ALG_HANDLE provider(LPCWSTR name) {
  BCRYPT_ALG_HANDLE handle = nullptr;
  if (!succeeded(BCryptOpenAlgorithmProvider(&handle, name, nullptr, 0))) return nullptr;
  return handle;
}
}  // namespace

// CNG is part of the system and loaded with the agent: nothing to prepare.
void prepare_digests() {}

std::optional<Sha1> sha1(std::span<const std::uint8_t> data) {
  static const BCRYPT_ALG_HANDLE algorithm = provider(BCRYPT_SHA1_ALGORITHM);
  return cng_digest<20>(algorithm, data);
}

std::optional<Sha256> sha256(std::span<const std::uint8_t> data) {
  static const BCRYPT_ALG_HANDLE algorithm = provider(BCRYPT_SHA256_ALGORITHM);
  return cng_digest<32>(algorithm, data);
}

namespace {
template <std::size_t N>
std::optional<std::vector<std::uint8_t>> as_vector(const std::optional<std::array<std::uint8_t, N>>& digest) {
  if (!digest) return std::nullopt;
  return std::vector<std::uint8_t>(digest->begin(), digest->end());
}
}  // namespace

std::optional<std::vector<std::uint8_t>> sha2(int bits, std::span<const std::uint8_t> data) {
  static const BCRYPT_ALG_HANDLE sha384 = provider(BCRYPT_SHA384_ALGORITHM);
  static const BCRYPT_ALG_HANDLE sha512 = provider(BCRYPT_SHA512_ALGORITHM);
  if (bits == 256) return as_vector(sha256(data));
  if (bits == 384) return as_vector(cng_digest<48>(sha384, data));
  if (bits == 512) return as_vector(cng_digest<64>(sha512, data));
  return std::nullopt;
}

}  // namespace p11agent::platform
