#include "token/cert_reader_checks.h"

namespace p11agent::platform {

bool is_one_der_value(std::span<const std::uint8_t> der) {
  if (der.size() < 2 || der[0] != 0x30) return false;
  std::size_t length = der[1];
  std::size_t header = 2;
  if (length & 0x80) {
    const std::size_t count = length & 0x7F;
    if (count == 0 || count > 4 || der.size() < 2 + count) return false;
    length = 0;
    for (std::size_t i = 0; i < count; ++i) length = length << 8 | der[2 + i];
    header += count;
  }
  return der.size() - header == length;
}

}  // namespace p11agent::platform
