// The certificate readers on whatever a module says a certificate is: serial number, names,
// and the details the system's parser reads, as an application and the picker get them.
#include <cstdint>
#include <cstdlib>

#include "text/shown_text.h"
#include "text/utf8.h"
#include "sign/cert_choice.h"
#include "token/certificate.h"

namespace {

// Shown to a person: valid UTF-8, and nothing in it that acts on the layout.
void check_shown(const std::string& text) {
  if (!p11agent::is_valid_utf8(text)) std::abort();
  for (std::size_t i = 0, length = 0; i < text.size(); i += length)
    if (p11agent::acts_on_layout(p11agent::code_point_at(text, i, length))) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string serial = p11agent::cert_serial_hex({data, size});
  if (serial.size() % 2 != 0 || serial.size() > size * 2) std::abort();
  // Names are shown to a person: valid UTF-8, and nothing in them that acts on the layout.
  auto names = p11agent::cert_names({data, size});
  for (const p11agent::DistinguishedName* name : {&names.subject, &names.issuer}) check_shown(p11agent::name_text(*name));
  // An answer's details serialise (valid UTF-8), and every row of the picker is fit to show.
  const p11agent::TokenCert cert{"module", "label", "serial", "print", {data, data + size}, size % 2 == 0};
  const p11agent::Candidate candidate{cert, p11agent::cert_details(cert.der)};
  (void)p11agent::details_members(cert, candidate.details).dump();
  const auto screen = p11agent::picker_screen("https://site.example", {&candidate, 1}, p11agent::now_utc());
  for (const auto& row : screen.rows)
    for (const std::string* text : {&row.holder, &row.issuer, &row.valid_from, &row.valid_to, &row.key, &row.token, &row.unusable})
      check_shown(*text);
  return 0;
}
