#pragma once
// Which certificates a request takes (its filter), and the user's choice among them in the
// picker.
#include <cstdint>
#include <expected>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "desktop/cert_picker.h"
#include "sign/cert_details.h"
#include "text/time_text.h"

namespace p11agent {

// The answers to a choice that gave no certificate, and to a site that did not choose.
inline constexpr const char* CERT_CHOICE_CANCELLED = "CERT_CHOICE_CANCELLED: the certificate choice was cancelled";
inline constexpr const char* CERT_CHOICE_TIMEOUT =
    "CERT_CHOICE_TIMEOUT: nobody chose a certificate within 120 seconds";
inline constexpr const char* CERT_CHOICE_UNAVAILABLE = "CERT_CHOICE_UNAVAILABLE: ";
inline constexpr const char* NO_MATCHING_CERT =
    "NO_MATCHING_CERT: no certificate on the connected tokens passes the request's filter";
inline constexpr const char* CERT_CHOICE_REQUIRED =
    "CERT_CHOICE_REQUIRED: on this computer a site may use only a certificate its user chose for it; call choose_cert";

// The certificates a request takes; every member present must hold.
struct CertFilter {
  std::optional<UnixTime> valid_at;             // not before <= t <= not after
  std::optional<std::uint16_t> key_usage;       // keyUsage allows one of these (or is absent)
  std::optional<std::vector<std::string>> eku;  // one of these OIDs is present
  std::optional<std::string> issuer;            // in the issuer's name as shown, ASCII case ignored
  // true: only certificates whose private key is on the token (or may be: a token that
  // shows its keys only after login); false: those without one too.
  std::optional<bool> has_private_key;
  std::optional<Purpose> purpose;  // the certificate serves it
};

// The request's `filter` (its JSON text, an object; nullopt: none). "now" is `now`. A
// member it does not know, or a value of the wrong kind, is refused with a text that says
// what the member takes.
std::expected<CertFilter, std::string> parse_cert_filter(const std::optional<std::string>& json, UnixTime now);

// A certificate with what is read from it.
struct Candidate {
  TokenCert cert;
  CertDetails details;
};

bool passes(const CertFilter& filter, const Candidate& candidate);

// The certificates that pass, with their details.
std::vector<Candidate> passing_certs(std::vector<TokenCert> certs, const CertFilter& filter);

// Certificates for signing first, each group in the order it had: the picker's order where
// the request names no purpose.
void signing_first(std::vector<Candidate>& candidates);

// The picker's screen: who asks (the site; "" for an application on this computer), and a
// row per candidate; one not valid at `now`, or whose dates cannot be read, cannot be
// picked and says why.
platform::PickerScreen picker_screen(std::string_view site, std::span<const Candidate> candidates, UnixTime now);

// The candidate the user picks; the error is the request's answer text.
std::expected<std::size_t, std::string> choose_certificate(platform::CertPicker& picker, std::string_view site,
                                                           std::span<const Candidate> candidates, UnixTime now);

// When nothing passes: tells the user so on the picker's screen, naming the site, and waits
// for Try again (a value: the caller reads the tokens again) or Cancel (NO_MATCHING_CERT);
// any other end is the request's answer as for the list.
std::expected<void, std::string> offer_try_again(platform::CertPicker& picker, std::string_view site);

// choose_cert's answer: der_b64, thumbprint, module, token_serial and the details.
nlohmann::json chosen_cert_answer(const Candidate& candidate);

// The system clock's time.
UnixTime now_utc();

}  // namespace p11agent
