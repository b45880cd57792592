// The serial-number and name readers on whatever a module says a certificate is.
#include <cstdint>
#include <cstdlib>

#include "text/shown_text.h"
#include "text/utf8.h"
#include "token/certificate.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string serial = p11agent::cert_serial_hex({data, size});
  if (serial.size() % 2 != 0 || serial.size() > size * 2) std::abort();
  // Names are shown to a person: valid UTF-8, and nothing in them that acts on the layout.
  auto names = p11agent::cert_names({data, size});
  for (const p11agent::DistinguishedName* name : {&names.subject, &names.issuer}) {
    const std::string text = p11agent::name_text(*name);
    if (!p11agent::is_valid_utf8(text)) std::abort();
    for (std::size_t i = 0, length = 0; i < text.size(); i += length)
      if (p11agent::acts_on_layout(p11agent::code_point_at(text, i, length))) std::abort();
  }
  return 0;
}
