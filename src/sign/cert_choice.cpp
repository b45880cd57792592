#include "sign/cert_choice.h"
#include "sign/prompt_trace.h"

#include <algorithm>
#include <chrono>

#include "desktop/ui_text.h"
#include "sign/pin_prompt.h"
#include "text/encoding.h"
#include "text/shown_text.h"
#include "text/utf8.h"
#include "token/certificate.h"

namespace p11agent {

namespace {

using nlohmann::json;
using platform::ui_text;

constexpr const char* FILTER_MEMBERS = "it takes valid_at, key_usage, eku, issuer, has_private_key and purpose";
// Bounds of the picker's columns, in bytes of UTF-8: a name cut to fit (its first
// attribute too), so that a qualified certificate's long name leaves room for the dates,
// the key and the token beside it.
constexpr std::size_t HOLDER_BOUND = 80;
constexpr std::size_t ISSUER_BOUND = 48;
constexpr std::size_t TOKEN_BOUND = 64;

// The first line of the picker's screens: who asks.
std::string who_asks(std::string_view site) {
  return site.empty() ? ui_text("An application on this computer asks you to choose a certificate.")
                      : ui_text("{site} asks you to choose a certificate.", {{"site", site}});
}

std::string column_name(const DistinguishedName& name, std::size_t bound) {
  return cut_text(prompt_name(name, bound), bound);
}

std::unexpected<std::string> malformed(std::string_view text) {
  return std::unexpected("invalid filter: " + std::string(text));
}

bool is_dotted_oid(std::string_view text) {
  if (text.empty() || text.size() > 128 || text.front() == '.' || text.back() == '.') return false;
  if (text.find("..") != std::string_view::npos || text.find('.') == std::string_view::npos) return false;
  return std::ranges::all_of(text, [](char c) { return c == '.' || (c >= '0' && c <= '9'); });
}

std::optional<std::uint16_t> usage_bit(const json& value) {
  if (value == "digitalSignature") return DIGITAL_SIGNATURE;
  if (value == "nonRepudiation") return NON_REPUDIATION;
  return std::nullopt;
}

// One member into the filter; "" when it is taken, else what is wrong with it.
std::string take_member(CertFilter& filter, const std::string& name, const json& value, UnixTime now) {
  if (name == "valid_at") {
    if (value == "now") {
      filter.valid_at = now;
    } else if (value.is_string()) {
      filter.valid_at = parse_rfc3339(value.get_ref<const std::string&>());
    }
    return filter.valid_at ? "" : R"(valid_at must be "now" or an RFC 3339 time such as "2026-12-08T18:00:00Z")";
  }
  if (name == "key_usage") {
    constexpr const char* WRONG = R"(key_usage must be a list of "digitalSignature" and "nonRepudiation")";
    if (!value.is_array() || value.empty()) return WRONG;
    std::uint16_t bits = 0;
    for (const json& usage : value) {
      auto bit = usage_bit(usage);
      if (!bit) return WRONG;
      bits |= *bit;
    }
    filter.key_usage = bits;
    return "";
  }
  if (name == "eku") {
    constexpr const char* WRONG = R"(eku must be a list of dotted OIDs such as "1.3.6.1.5.5.7.3.4")";
    if (!value.is_array() || value.empty()) return WRONG;
    filter.eku.emplace();
    for (const json& oid : value) {
      if (!oid.is_string() || !is_dotted_oid(oid.get_ref<const std::string&>())) return WRONG;
      filter.eku->push_back(oid);
    }
    return "";
  }
  if (name == "issuer") {
    if (!value.is_string() || value.get_ref<const std::string&>().empty()) return "issuer must be a non-empty text";
    filter.issuer = ascii_lowercase(value.get_ref<const std::string&>());
    return "";
  }
  if (name == "purpose") {
    for (Purpose purpose : {Purpose::Signing, Purpose::Authentication})
      if (value == purpose_name(purpose)) filter.purpose = purpose;
    return filter.purpose ? "" : R"(purpose must be "signing" or "authentication")";
  }
  if (name == "has_private_key") {
    if (!value.is_boolean()) return "has_private_key must be true or false";
    filter.has_private_key = value.get<bool>();
    return "";
  }
  return "unknown member \"" + cut_text(shown_text(name), 64) + "\": " + FILTER_MEMBERS;
}

bool valid_at(const platform::CertFacts& facts, UnixTime time) {
  return facts.not_before <= time && time <= facts.not_after;
}

// Why a certificate cannot be picked at `now`; "" when it can.
std::string unusable_reason(const CertDetails& details, UnixTime now) {
  if (!details.facts) return ui_text("its dates cannot be read");
  if (now > details.facts->not_after) return ui_text("expired on {day}", {{"day", day_utc(details.facts->not_after)}});
  if (now < details.facts->not_before)
    return ui_text("valid only from {day}", {{"day", day_utc(details.facts->not_before)}});
  return "";
}

// What the certificate is for, as the picker says it: "for signing (qualified)", "for
// signing", "for logging in"; for neither, whether its key may sign at all.
std::string purpose_text(const platform::CertFacts& facts) {
  std::string text;
  for (Purpose purpose : cert_purposes(facts)) {
    if (!text.empty()) text += ", ";
    if (purpose == Purpose::Authentication)
      text += ui_text("for logging in");
    else
      text += qualified(facts) ? ui_text("for signing (qualified)") : ui_text("for signing");
  }
  if (!text.empty()) return text;
  // Neither: the keyUsage is there, without nonRepudiation.
  const bool signs = (*facts.key_usage & DIGITAL_SIGNATURE) != 0;
  return signs ? ui_text("signs") : ui_text("not for signatures");
}

// "RSA 2048, for signing"; what the key is and what the certificate is for.
std::string key_text(const Candidate& candidate) {
  if (!candidate.details.facts) return ui_text("unknown key");
  const platform::CertFacts& facts = *candidate.details.facts;
  std::string text = key_type_name(facts);
  if (std::string curve = curve_name(facts); !curve.empty())
    text += " " + curve;
  else if (const int bits = key_size(facts); bits > 0)
    text += " " + std::to_string(bits);
  text = cut_text(shown_text(text), TOKEN_BOUND);
  text += ", " + purpose_text(facts);
  if (!candidate.cert.has_private_key && !candidate.cert.keys_after_login)
    text += ", " + ui_text("no private key on the token");
  return text;
}

std::string stop_text(const platform::PromptStop& stop) {
  switch (stop.end) {
    case platform::PromptEnd::Cancelled: return CERT_CHOICE_CANCELLED;
    case platform::PromptEnd::TimedOut: return CERT_CHOICE_TIMEOUT;
    case platform::PromptEnd::Unavailable:
    case platform::PromptEnd::Withdrawn:
    case platform::PromptEnd::Failed: break;
  }
  return CERT_CHOICE_UNAVAILABLE + stop.detail;
}

}  // namespace

std::expected<CertFilter, std::string> parse_cert_filter(const std::optional<std::string>& text, UnixTime now) {
  CertFilter filter;
  if (!text) return filter;
  // The wire's parser has read it as an object already.
  const json members = json::parse(*text, nullptr, false);
  if (!members.is_object()) return malformed("filter must be an object");
  for (const auto& [name, value] : members.items())
    if (std::string wrong = take_member(filter, name, value, now); !wrong.empty()) return malformed(wrong);
  return filter;
}

bool passes(const CertFilter& filter, const Candidate& candidate) {
  const auto& facts = candidate.details.facts;
  if (filter.has_private_key.value_or(false) && !candidate.cert.has_private_key && !candidate.cert.keys_after_login)
    return false;
  if (filter.issuer && ascii_lowercase(candidate.details.issuer).find(*filter.issuer) == std::string::npos) return false;
  // What the certificate's own fields must say is unknown for one the parser cannot read.
  if ((filter.valid_at || filter.key_usage || filter.eku || filter.purpose) && !facts) return false;
  if (filter.purpose && !serves(*facts, *filter.purpose)) return false;
  if (filter.valid_at && !valid_at(*facts, *filter.valid_at)) return false;
  if (filter.key_usage && facts->key_usage && (*facts->key_usage & *filter.key_usage) == 0) return false;
  if (filter.eku) {
    if (!facts->eku) return false;
    const auto& present = *facts->eku;
    if (std::ranges::none_of(*filter.eku, [&](const std::string& oid) { return std::ranges::find(present, oid) != present.end(); }))
      return false;
  }
  return true;
}

std::vector<Candidate> passing_certs(std::vector<TokenCert> certs, const CertFilter& filter) {
  std::vector<Candidate> passing;
  for (TokenCert& cert : certs) {
    Candidate candidate{std::move(cert), {}};
    candidate.details = cert_details(candidate.cert.der);
    if (passes(filter, candidate)) passing.push_back(std::move(candidate));
  }
  return passing;
}

void signing_first(std::vector<Candidate>& candidates) {
  std::ranges::stable_partition(candidates, [](const Candidate& candidate) {
    return candidate.details.facts && serves(*candidate.details.facts, Purpose::Signing);
  });
}

platform::PickerScreen picker_screen(std::string_view site, std::span<const Candidate> candidates, UnixTime now) {
  platform::PickerScreen screen;
  screen.title = ui_text("p11agent: choose a certificate");
  screen.description = who_asks(site) + "\n" + ui_text("Only the certificate you choose is given to it.");
  for (const Candidate& candidate : candidates) {
    const CertNames names = cert_names(candidate.cert.der);
    const auto& facts = candidate.details.facts;
    screen.rows.push_back(platform::PickerRow{
        column_name(names.subject, HOLDER_BOUND), column_name(names.issuer, ISSUER_BOUND),
        facts ? day_utc(facts->not_before) : "?", facts ? day_utc(facts->not_after) : "?", key_text(candidate),
        cut_text(shown_text(candidate.cert.token_label), TOKEN_BOUND), unusable_reason(candidate.details, now)});
  }
  return screen;
}

std::expected<std::size_t, std::string> choose_certificate(platform::CertPicker& picker, std::string_view site,
                                                           std::span<const Candidate> candidates, UnixTime now) {
  if (candidates.empty()) return std::unexpected(NO_MATCHING_CERT);
  const platform::PickerScreen screen = picker_screen(site, candidates, now);
  auto picked = traced_showing("picker", "certificate", picker.program(), "picked", [&] { return picker.pick(screen); });
  if (!picked) return std::unexpected(stop_text(picked.error()));
  // A picker answers a row it showed as one that can be picked; anything else is its fault.
  if (*picked >= candidates.size() || !screen.rows[*picked].unusable.empty())
    return std::unexpected(CERT_CHOICE_UNAVAILABLE + std::string("the picker answered a certificate that cannot be chosen"));
  return *picked;
}

std::expected<void, std::string> offer_try_again(platform::CertPicker& picker, std::string_view site) {
  const platform::PickerScreen screen{
      ui_text("p11agent: choose a certificate"),
      who_asks(site) + "\n" +
          ui_text("No certificate on the connected tokens can be used here. Insert your token and choose Try again."),
      {}};
  auto again = traced_showing("picker", "try_again", picker.program(), "try_again",
                              [&] { return picker.nothing_to_choose(screen); });
  if (again) return {};
  if (again.error().end == platform::PromptEnd::Cancelled) return std::unexpected(NO_MATCHING_CERT);
  return std::unexpected(stop_text(again.error()));
}

nlohmann::json chosen_cert_answer(const Candidate& candidate) {
  json answer = details_members(candidate.cert, candidate.details);
  answer.update(json{{"der_b64", base64_encode(candidate.cert.der)},
                     {"module", candidate.cert.module_path},
                     {"ok", true},
                     {"thumbprint", candidate.cert.thumbprint},
                     {"token_serial", candidate.cert.token_serial}});
  return answer;
}

UnixTime now_utc() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace p11agent
