#include "system/digest.h"

#include <thread>

#include "system/late_libraries_posix.h"

namespace p11agent::platform {

namespace {

struct Digests {
  const LibCrypto* crypto = nullptr;
  EVP_MD* sha1 = nullptr;
  EVP_MD* sha256 = nullptr;
};

Digests fetch_digests() {
  const LibCrypto* crypto = libcrypto();
  if (crypto == nullptr) return {};
  return {crypto, crypto->EVP_MD_fetch(nullptr, "SHA1", nullptr), crypto->EVP_MD_fetch(nullptr, "SHA256", nullptr)};
}

// Fetched once: an implicit fetch on every digest costs a provider look-up under a lock.
// The first fetch also loads libcrypto and sets it up (its configuration, its providers).
const Digests& digests() {
  static const Digests fetched = fetch_digests();
  return fetched;
}

template <std::size_t N>
std::optional<std::array<std::uint8_t, N>> evp_digest(EVP_MD* Digests::*which, std::span<const std::uint8_t> data) {
  const Digests& fetched = digests();
  const EVP_MD* md = fetched.*which;
  if (md == nullptr) return std::nullopt;
  std::array<std::uint8_t, N> out{};
  unsigned int length = 0;
  if (fetched.crypto->EVP_Digest(data.data(), data.size(), out.data(), &length, md, nullptr) != 1 || length != N) return std::nullopt;
  return out;
}

}  // namespace

void prepare_digests() {
  std::thread([] { digests(); }).detach();
}

std::optional<Sha1> sha1(std::span<const std::uint8_t> data) { return evp_digest<20>(&Digests::sha1, data); }

std::optional<Sha256> sha256(std::span<const std::uint8_t> data) { return evp_digest<32>(&Digests::sha256, data); }

std::optional<std::vector<std::uint8_t>> sha2(int bits, std::span<const std::uint8_t> data) {
  if (bits == 256) {
    auto digest = sha256(data);
    if (!digest) return std::nullopt;
    return std::vector<std::uint8_t>(digest->begin(), digest->end());
  }
  if (bits != 384 && bits != 512) return std::nullopt;
  const LibCrypto* crypto = digests().crypto;
  if (crypto == nullptr) return std::nullopt;
  // Fetched once each, when an authentication first asks.
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

}  // namespace p11agent::platform
