// Digests with libnettle, loaded on a thread of its own at the start (a fraction of what
// libcrypto costs a process); with libcrypto where libnettle cannot be loaded.
#include "system/digest.h"

#include <thread>

#include "system/late_libraries_posix.h"

namespace p11agent::platform {

namespace {

// One of libnettle's hashes: its context, and its three functions.
template <typename Context>
struct NettleHash {
  void (*init)(Context*);
  void (*update)(Context*, std::size_t, const std::uint8_t*);
  void (*digest)(Context*, std::size_t, std::uint8_t*);
};

template <std::size_t N, typename Context>
std::array<std::uint8_t, N> nettle_digest(const NettleHash<Context>& hash, std::span<const std::uint8_t> data) {
  Context context;
  hash.init(&context);
  hash.update(&context, data.size(), data.data());
  std::array<std::uint8_t, N> out{};
  hash.digest(&context, out.size(), out.data());
  return out;
}

struct Digests {
  const LibCrypto* crypto = nullptr;
  EVP_MD* sha1 = nullptr;
  EVP_MD* sha256 = nullptr;
};

// Only where libnettle cannot be loaded. Fetched once: an implicit fetch on every digest
// costs a provider look-up under a lock.
Digests fetch_digests() {
  const LibCrypto* crypto = libcrypto();
  if (crypto == nullptr) return {};
  return {crypto, crypto->EVP_MD_fetch(nullptr, "SHA1", nullptr), crypto->EVP_MD_fetch(nullptr, "SHA256", nullptr)};
}

const Digests& libcrypto_digests() {
  static const Digests fetched = fetch_digests();
  return fetched;
}

template <std::size_t N>
std::optional<std::array<std::uint8_t, N>> evp_digest(EVP_MD* Digests::*which, std::span<const std::uint8_t> data) {
  const Digests& fetched = libcrypto_digests();
  const EVP_MD* md = fetched.*which;
  if (md == nullptr) return std::nullopt;
  std::array<std::uint8_t, N> out{};
  unsigned int length = 0;
  if (fetched.crypto->EVP_Digest(data.data(), data.size(), out.data(), &length, md, nullptr) != 1 || length != N)
    return std::nullopt;
  return out;
}

// SHA-384 and SHA-512 where libnettle cannot be loaded.
std::optional<std::vector<std::uint8_t>> evp_sha2(int bits, std::span<const std::uint8_t> data) {
  const LibCrypto* crypto = libcrypto();
  if (crypto == nullptr) return std::nullopt;
  static EVP_MD* const sha384 = crypto->EVP_MD_fetch(nullptr, "SHA384", nullptr);
  static EVP_MD* const sha512 = crypto->EVP_MD_fetch(nullptr, "SHA512", nullptr);
  const EVP_MD* md = bits == 384 ? sha384 : sha512;
  if (md == nullptr) return std::nullopt;
  std::vector<std::uint8_t> out(static_cast<std::size_t>(bits / 8));
  unsigned int length = 0;
  if (crypto->EVP_Digest(data.data(), data.size(), out.data(), &length, md, nullptr) != 1 || length != out.size())
    return std::nullopt;
  return out;
}

template <std::size_t N>
std::vector<std::uint8_t> as_vector(const std::array<std::uint8_t, N>& digest) {
  return {digest.begin(), digest.end()};
}

}  // namespace

void prepare_digests() {
  std::thread([] {
    if (libnettle() == nullptr) libcrypto_digests();
  }).detach();
}

std::optional<Sha1> sha1(std::span<const std::uint8_t> data) {
  if (const LibNettle* nettle = libnettle())
    return nettle_digest<20>(
        NettleHash<sha1_ctx>{nettle->nettle_sha1_init, nettle->nettle_sha1_update, nettle->nettle_sha1_digest}, data);
  return evp_digest<20>(&Digests::sha1, data);
}

std::optional<Sha256> sha256(std::span<const std::uint8_t> data) {
  if (const LibNettle* nettle = libnettle())
    return nettle_digest<32>(
        NettleHash<sha256_ctx>{nettle->nettle_sha256_init, nettle->nettle_sha256_update, nettle->nettle_sha256_digest},
        data);
  return evp_digest<32>(&Digests::sha256, data);
}

std::optional<std::vector<std::uint8_t>> sha2(int bits, std::span<const std::uint8_t> data) {
  if (bits == 256) {
    auto digest = sha256(data);
    if (!digest) return std::nullopt;
    return as_vector(*digest);
  }
  if (bits != 384 && bits != 512) return std::nullopt;
  const LibNettle* nettle = libnettle();
  if (nettle == nullptr) return evp_sha2(bits, data);
  // SHA-384 is SHA-512's function with its own start and a shorter digest.
  if (bits == 384)
    return as_vector(nettle_digest<48>(
        NettleHash<sha512_ctx>{nettle->nettle_sha384_init, nettle->nettle_sha512_update, nettle->nettle_sha384_digest},
        data));
  return as_vector(nettle_digest<64>(
      NettleHash<sha512_ctx>{nettle->nettle_sha512_init, nettle->nettle_sha512_update, nettle->nettle_sha512_digest},
      data));
}

}  // namespace p11agent::platform
