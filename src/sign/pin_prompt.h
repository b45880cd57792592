#pragma once
// Logging in with a PIN the user enters in the agent's own prompt, which says who asks,
// for what, with which certificate on which token, and how many tries are left.
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>

#include "desktop/pin_dialog.h"
#include "sign/login.h"
#include "token/certificate.h"

namespace p11agent {

// The answers to a prompt that gave no PIN, and to a PIN a request may not carry.
inline constexpr const char* PIN_PROMPT_CANCELLED = "PIN_PROMPT_CANCELLED: the PIN prompt was cancelled";
inline constexpr const char* PIN_PROMPT_TIMEOUT = "PIN_PROMPT_TIMEOUT: nobody answered the PIN prompt within 120 seconds";
inline constexpr const char* PIN_PROMPT_UNAVAILABLE = "PIN_PROMPT_UNAVAILABLE: ";
inline constexpr const char* PIN_PROMPT_FAILED = "PIN_PROMPT_FAILED: ";
inline constexpr const char* TOKEN_REMOVED = "TOKEN_REMOVED: the token was removed while the PIN was asked for";
inline constexpr const char* PIN_PROMPT_REQUIRED =
    "PIN_PROMPT_REQUIRED: on this computer the PIN is entered in p11agent's own prompt; send the request without pin";
// The answers to a confirmation that gave no consent.
inline constexpr const char* SIGNATURE_DECLINED = "SIGNATURE_DECLINED: the user declined the signature";
inline constexpr const char* SIGNATURE_UNCONFIRMED =
    "SIGNATURE_DECLINED: nobody confirmed the signature within 120 seconds";

// What the user is asked for: a signature, unlocking the token for later ones, or logging in
// to the site with the certificate.
enum class PromptAsks { Signature, Unlock, Login };

// What the prompt says about the request.
struct PromptFacts {
  std::string site;      // the asking site (a checked web origin); "" for an application on this computer
  PromptAsks asks = PromptAsks::Signature;
  CertNames cert;        // empty where unknown
  std::string description;  // what the asker says a signature is for, in its own words; "" for nothing
};

// The most of a description the prompt shows, in characters: a longer one is cut with "…".
inline constexpr std::size_t PROMPT_DESCRIPTION_CHARACTERS = 200;

// The user gives up after this many wrong PINs in one request (a token that keeps no
// count would otherwise be asked forever).
inline constexpr int MAX_PROMPTED_PINS = 10;

// Tries one PIN on the token (nullopt: the reader's keypad).
using TryPin = std::function<std::expected<void, LoginRefusal>(LoginPin pin)>;

// The PIN that logged the user in: typed into the prompt, or nullopt when it was entered on
// the reader's keypad.
using PromptedPin = std::optional<platform::WipedString>;

// What a login sends for a PIN the user gave: the typed PIN, or none for the keypad.
inline LoginPin login_pin_of(const PromptedPin& pin) { return pin ? LoginPin(*pin) : std::nullopt; }

// Asks for the session's token's PIN and tries each entered PIN with `try_pin`, asking
// again after a wrong one with the tries left, until the token takes one, refuses the
// last try, or the user gives up (the answer is then the prompt's). A token with a keypad
// of its own is logged in on it while the prompt says so, with Cancel only.
std::expected<PromptedPin, std::string> log_in_through_prompt(platform::PinDialog& dialog, const PromptFacts& facts,
                                                              const Session& session, const TryPin& try_pin);

// The PIN for a signature's own login on a key that asks for it each time, asked once on a
// screen that names the certificate (read with one C_GetTokenInfo). On a reader with a
// keypad nothing is asked: the PIN is none, and `keypad` is the screen to show while the
// reader takes it.
struct OperationPin {
  PromptedPin pin;
  std::optional<platform::PinScreen> keypad;
};
std::expected<OperationPin, std::string> ask_operation_pin(platform::PinDialog& dialog, const PromptFacts& facts,
                                                           const Session& session);

// The screen to show while the reader's keypad takes a signature's own PIN (one
// C_GetTokenInfo); nullopt where the token has no keypad.
std::optional<platform::PinScreen> keypad_screen(const PromptFacts& facts, const Session& session);

// Runs `login`, a signature's own login on the reader's keypad, with `screen` shown
// meanwhile; the reader takes the PIN whether or not the screen could be shown.
void show_during_keypad_login(platform::PinDialog& dialog, const platform::PinScreen& screen,
                              const std::function<void()>& login);

// Asks the user to confirm a signature on a token that is logged in already: a screen that
// names who asks, the certificate, the token (one C_GetTokenInfo) and the description, with
// Sign and Cancel and no PIN field. Success when the user pressed Sign; else the answer.
std::expected<void, std::string> confirm_signature(platform::PinDialog& dialog, const PromptFacts& facts,
                                                   const Session& session);

// Bounds of the holder's and of the issuer's name as the prompt shows them, in bytes of
// UTF-8. Within them a qualified certificate's name (many attributes, not always Latin)
// still fits a pinentry line of 1000 bytes beside the site, the token and the texts around
// them.
inline constexpr std::size_t PROMPT_SUBJECT_BOUND = 300;
inline constexpr std::size_t PROMPT_ISSUER_BOUND = 180;

// A name as the prompt shows it, within `bound` bytes: the common name first, then the
// organisation, then the other attributes in the certificate's order, each value escaped
// and cut with "…" past 96 bytes; attributes that would pass the bound are left out, and a
// final ", …" says so. The first attribute is always shown.
std::string prompt_name(const DistinguishedName& name, std::size_t bound);

// The screen for the facts and the token's information (from one C_GetTokenInfo): what
// the prompt shows.
platform::PinScreen prompt_screen(const PromptFacts& facts, const std::optional<CK_TOKEN_INFO>& info);
platform::PinScreen confirmation_screen(const PromptFacts& facts, const std::optional<CK_TOKEN_INFO>& info);

}  // namespace p11agent
