#pragma once
// SHA-1 (certificate thumbprints), SHA-256 (the daemon's PIN digest) and SHA-384 and SHA-512
// (an authentication's value), from the
// operating system's own implementation.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace p11agent::platform {

using Sha1 = std::array<std::uint8_t, 20>;
using Sha256 = std::array<std::uint8_t, 32>;

// nullopt when the system's routine fails (an OpenSSL configuration without a provider of
// the algorithm, a CNG failure): a digest that was not computed is never handed out.
std::optional<Sha1> sha1(std::span<const std::uint8_t> data);
std::optional<Sha256> sha256(std::span<const std::uint8_t> data);

// SHA-256, SHA-384 or SHA-512, by the digest's bits (an authentication's hash); nullopt
// for other bits or where the system's routine fails.
std::optional<std::vector<std::uint8_t>> sha2(int bits, std::span<const std::uint8_t> data);

// Makes the system's routines ready on a thread of their own (on Linux, libcrypto is loaded
// there), so that the first digest does not wait for them.
void prepare_digests();

}  // namespace p11agent::platform
