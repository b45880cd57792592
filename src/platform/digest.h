#pragma once
// SHA-1 (certificate thumbprints) and SHA-256 (the daemon's PIN digest), from the
// operating system's own implementation.
#include <array>
#include <cstdint>
#include <span>

namespace p11agent::platform {

std::array<std::uint8_t, 20> sha1(std::span<const std::uint8_t> data);
std::array<std::uint8_t, 32> sha256(std::span<const std::uint8_t> data);

}  // namespace p11agent::platform
