#pragma once
// The certificate picker: the user chooses which certificate a site or an application may
// use. A dialog of the agent's own on Windows; on Linux the desktop's dialog program
// (zenity, or kdialog on KDE), as the PIN prompt uses pinentry.
#include <chrono>
#include <cstddef>
#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "desktop/pin_dialog.h"

namespace p11agent::platform {

// A choice nobody makes is closed after this long.
inline constexpr std::chrono::seconds CERT_PICKER_TIMEOUT{120};

// One certificate as the picker lists it; every text is already fit to show (no control or
// layout characters, bounded lengths).
struct PickerRow {
  std::string holder;
  std::string issuer;
  std::string valid_from;  // days, "2026-12-08"
  std::string valid_to;
  std::string key;  // what the key is and may do: "RSA 2048, signs"
  std::string token;
  std::string unusable;  // why it cannot be picked ("Expired on 2025-01-31"); "" when it can
};

struct PickerScreen {
  std::string title;
  std::string description;  // who asks, lines separated by '\n'
  std::vector<PickerRow> rows;
};

class CertPicker {
 public:
  virtual ~CertPicker() = default;
  // Shows the rows and waits for the user's choice: the index of a usable row.
  virtual std::expected<std::size_t, PromptStop> pick(const PickerScreen& screen) = 0;
  // Tells the user that nothing can be chosen (the screen's description says why and has
  // no rows), with Try again and Cancel: a value when the user asks to try again.
  virtual std::expected<void, PromptStop> nothing_to_choose(const PickerScreen& screen) = 0;
  // What shows it, for the trace ("" where nothing of the system's does).
  virtual std::string program() const { return {}; }
};

// The system's picker.
std::unique_ptr<CertPicker> system_cert_picker();

// What the picker uses here (see PromptReport).
PromptReport cert_picker_report();

// Whether the machine's deployer lets a browser's site use only the certificates its user
// chose for it, and list or find none: HKLM\Software\p11agent, RequireCertChoice (DWORD 1)
// on Windows; the file /etc/p11agent/require-cert-choice on Linux.
bool cert_choice_required();

// Whether the deployer lets a browser's site list and find every certificate, as before
// sites learned only what their user chose (for an old portal): AllowCertListing, or
// /etc/p11agent/allow-cert-listing. RequireCertChoice wins over it.
bool cert_listing_allowed();

}  // namespace p11agent::platform
