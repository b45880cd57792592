#pragma once
// What both builds' certificate readers check before the system's parser sees the data.
#include <cstdint>
#include <span>

namespace p11agent::platform {

// Whether the data is one DER SEQUENCE and nothing after it: the parsers differ on
// trailing bytes, the answers may not.
bool is_one_der_value(std::span<const std::uint8_t> der);

}  // namespace p11agent::platform
