// The serial-number and name readers on whatever a module says a certificate is.
#include <cstdint>
#include <cstdlib>

#include "token/certificate.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string serial = p11agent::cert_serial_hex({data, size});
  if (serial.size() % 2 != 0 || serial.size() > size * 2) std::abort();
  // Names are shown to a person: no control character may come through.
  auto names = p11agent::cert_names({data, size});
  for (const std::string* name : {&names.subject, &names.issuer})
    for (char c : *name)
      if (static_cast<unsigned char>(c) < 0x20) std::abort();
  return 0;
}
