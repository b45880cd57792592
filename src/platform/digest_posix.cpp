#include "platform/digest.h"

#include <openssl/evp.h>

#include <thread>

namespace p11agent::platform {

namespace {

struct Digests {
  EVP_MD* sha1 = nullptr;
  EVP_MD* sha256 = nullptr;
};

// Fetched once: an implicit fetch on every digest costs a provider look-up under a lock.
// The first fetch also sets OpenSSL up (its configuration, its providers).
const Digests& digests() {
  static const Digests fetched{EVP_MD_fetch(nullptr, "SHA1", nullptr), EVP_MD_fetch(nullptr, "SHA256", nullptr)};
  return fetched;
}

template <std::size_t N>
std::optional<std::array<std::uint8_t, N>> evp_digest(const EVP_MD* md, std::span<const std::uint8_t> data) {
  if (md == nullptr) return std::nullopt;
  std::array<std::uint8_t, N> out{};
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), out.data(), &length, md, nullptr) != 1 || length != N) return std::nullopt;
  return out;
}

}  // namespace

void prepare_digests() {
  std::thread([] { digests(); }).detach();
}

std::optional<Sha1> sha1(std::span<const std::uint8_t> data) { return evp_digest<20>(digests().sha1, data); }

std::optional<Sha256> sha256(std::span<const std::uint8_t> data) { return evp_digest<32>(digests().sha256, data); }

}  // namespace p11agent::platform
