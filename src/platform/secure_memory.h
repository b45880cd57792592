#pragma once
#include <cstddef>

namespace p11agent::platform {

// Overwrites memory with zero bytes in a way the compiler may not remove.
void secure_zero(void* data, std::size_t size);

}  // namespace p11agent::platform
