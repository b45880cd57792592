// The serial-number reader on whatever a module says a certificate is.
#include <cstdint>
#include <cstdlib>

#include "token/certificate.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string serial = p11agent::cert_serial_hex({data, size});
  if (serial.size() % 2 != 0 || serial.size() > size * 2) std::abort();
  return 0;
}
