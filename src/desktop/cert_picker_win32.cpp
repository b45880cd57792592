// The certificate picker on Windows: a dialog of the agent's own with a list of the
// certificates, one row each, shown on a thread of its own as the PIN dialog is.
#include "desktop/cert_picker.h"

#include <thread>

#include <windows.h>
#include <commctrl.h>

#include "desktop/dialog_win32.h"
#include "desktop/ui_text.h"
#include "system/wide.h"

namespace p11agent::platform {

namespace {

constexpr int ID_DESCRIPTION = 100;
constexpr int ID_LIST = 101;
constexpr int ID_NOTE = 102;
constexpr INT_PTR ENDED_CANCELLED = IDCANCEL;
constexpr INT_PTR ENDED_TIMED_OUT = 1000;
constexpr INT_PTR ENDED_PICKED = 1001;

// The list's columns: their titles (in English, as the catalog knows them) and widths in
// dialog units.
struct Column {
  const char* title;
  int width;
};
constexpr Column COLUMNS[] = {{ui_message("Holder"), 130},
                              {ui_message("Issued by"), 100},
                              {ui_message("Valid to"), 46},
                              {ui_message("Token"), 60},
                              {ui_message("Key"), 84}};

struct PickerRun {
  const PickerScreen* screen = nullptr;
  std::atomic<INT_PTR> ended{DIALOG_RUNNING};
  std::size_t picked = 0;
  bool active = false;
};

// The list of certificates with Choose and Cancel; with no rows, only the text with Try
// again and Cancel.
DialogTemplate layout(const PickerScreen& screen) {
  const bool nothing = screen.rows.empty();
  const short bottom = nothing ? 58 : 214;
  DialogTemplate dialog(0, 440, static_cast<short>(bottom + 22), to_wide(screen.title));
  dialog.add_item(ID_DESCRIPTION, EDIT, ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL, 8, 8, 424,
                  nothing ? 34 : 26, with_crlf(screen.description));
  if (!nothing)
    dialog.add_item(ID_LIST, WC_LISTVIEWW, LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | WS_BORDER | WS_TABSTOP, 8,
                    40, 424, 156, L"");
  dialog.add_item(ID_NOTE, STATIC, SS_LEFT | SS_NOPREFIX | SS_NOTIFY, 8, static_cast<short>(bottom - 14), 424, 10, L"");
  // Wide enough for the buttons' longest words in the shipped languages.
  dialog.add_item(IDOK, BUTTON, BS_DEFPUSHBUTTON | WS_TABSTOP, 294, bottom, 66, 14,
                  to_wide(nothing ? ui_text("Try again") : ui_text("Choose")));
  dialog.add_item(IDCANCEL, BUTTON, BS_PUSHBUTTON | WS_TABSTOP, 366, bottom, 66, 14, to_wide(ui_text("Cancel")));
  return dialog;
}

int dialog_units_to_pixels(HWND dialog, int width) {
  RECT rect{0, 0, width, 0};
  MapDialogRect(dialog, &rect);
  return rect.right;
}

void fill_list(HWND dialog, const PickerScreen& screen) {
  HWND list = GetDlgItem(dialog, ID_LIST);
  SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
  for (int i = 0; i < static_cast<int>(std::size(COLUMNS)); ++i) {
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH;
    std::wstring title = to_wide(ui_text(COLUMNS[i].title));
    column.pszText = title.data();
    column.cx = dialog_units_to_pixels(dialog, COLUMNS[i].width);
    SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&column));
  }
  for (std::size_t row = 0; row < screen.rows.size(); ++row) {
    const PickerRow& shown = screen.rows[row];
    const std::wstring texts[] = {to_wide(shown.holder), to_wide(shown.issuer), to_wide(shown.valid_to),
                                  to_wide(shown.token), to_wide(shown.key)};
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = static_cast<int>(row);
    item.pszText = const_cast<wchar_t*>(texts[0].c_str());
    SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    for (int column = 1; column < static_cast<int>(std::size(texts)); ++column) {
      item.iSubItem = column;
      item.pszText = const_cast<wchar_t*>(texts[column].c_str());
      SendMessageW(list, LVM_SETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
    }
  }
  // The first row that can be picked starts selected.
  for (std::size_t row = 0; row < screen.rows.size(); ++row)
    if (screen.rows[row].unusable.empty()) {
      LVITEMW state{};
      state.stateMask = state.state = LVIS_SELECTED | LVIS_FOCUSED;
      SendMessageW(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&state));
      break;
    }
}

// The selected row; rows.size() for none.
std::size_t selected_row(HWND dialog, const PickerScreen& screen) {
  const auto row = SendMessageW(GetDlgItem(dialog, ID_LIST), LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED);
  return row >= 0 && static_cast<std::size_t>(row) < screen.rows.size() ? static_cast<std::size_t>(row)
                                                                          : screen.rows.size();
}

// Whether OK may end the dialog with this row: one that can be picked, or Try again where
// there is no list.
bool ends_with(const PickerRun& run, std::size_t row) {
  const auto& rows = run.screen->rows;
  return rows.empty() || (row < rows.size() && rows[row].unusable.empty());
}

// Choose is enabled for a row that can be picked while the dialog is the active window;
// the note says why a selected row cannot be, or asks for a click.
void update_controls(HWND dialog, const PickerRun& run) {
  const KeyboardRule rule = keyboard_rule(run.active);
  const std::size_t row = selected_row(dialog, *run.screen);
  const bool nothing = run.screen->rows.empty();
  const bool usable = ends_with(run, row);
  EnableWindow(GetDlgItem(dialog, IDOK), usable && rule.field_takes_keys);
  std::wstring note;
  if (rule.asks_for_click)
    note = to_wide(ui_text("Click here to choose a certificate"));
  else if (row < run.screen->rows.size() && !usable)
    note = to_wide(ui_text("This certificate cannot be chosen: {reason}", {{"reason", run.screen->rows[row].unusable}}));
  SetDlgItemTextW(dialog, ID_NOTE, note.c_str());
  flash(dialog, rule.flashes);
  if (rule.field_takes_keys) SetFocus(GetDlgItem(dialog, nothing ? IDOK : ID_LIST));
}

void pick_selected(HWND dialog, PickerRun& run) {
  const std::size_t row = selected_row(dialog, *run.screen);
  if (!run.active || !ends_with(run, row)) return;
  run.picked = row;
  end_dialog_run(run.ended, dialog, ENDED_PICKED);
}

// Unusable rows in the system's grey text.
LRESULT custom_draw(const NMLVCUSTOMDRAW& draw, const PickerRun& run) {
  if (draw.nmcd.dwDrawStage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW;
  if (draw.nmcd.dwDrawStage == CDDS_ITEMPREPAINT) {
    const auto row = static_cast<std::size_t>(draw.nmcd.dwItemSpec);
    if (row < run.screen->rows.size() && !run.screen->rows[row].unusable.empty())
      const_cast<NMLVCUSTOMDRAW&>(draw).clrText = GetSysColor(COLOR_GRAYTEXT);
  }
  return CDRF_DODEFAULT;
}

INT_PTR CALLBACK dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* run = reinterpret_cast<PickerRun*>(GetWindowLongPtrW(dialog, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG:
      run = reinterpret_cast<PickerRun*>(lparam);
      SetWindowLongPtrW(dialog, DWLP_USER, lparam);
      if (!run->screen->rows.empty()) fill_list(dialog, *run->screen);
      run->active = bring_to_front(dialog, CERT_PICKER_TIMEOUT);
      update_controls(dialog, *run);
      return FALSE;
    case WM_ACTIVATE:
      if (run == nullptr) return FALSE;
      run->active = LOWORD(wparam) != WA_INACTIVE;
      update_controls(dialog, *run);
      return FALSE;
    case WM_TIMER:
      if (wparam == TIMEOUT_TIMER && run != nullptr) end_dialog_run(run->ended, dialog, ENDED_TIMED_OUT);
      return TRUE;
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lparam);
      if (run == nullptr || header->idFrom != ID_LIST) return FALSE;
      if (header->code == NM_CUSTOMDRAW) {
        SetWindowLongPtrW(dialog, DWLP_MSGRESULT, custom_draw(*reinterpret_cast<const NMLVCUSTOMDRAW*>(lparam), *run));
        return TRUE;
      }
      if (header->code == LVN_ITEMCHANGED) update_controls(dialog, *run);
      if (header->code == NM_DBLCLK) pick_selected(dialog, *run);
      return FALSE;
    }
    case WM_COMMAND:
      if (run == nullptr) return FALSE;
      switch (LOWORD(wparam)) {
        case ID_NOTE:
          SetForegroundWindow(dialog);
          return TRUE;
        case IDOK:
          pick_selected(dialog, *run);
          return TRUE;
        case IDCANCEL:
          end_dialog_run(run->ended, dialog, ENDED_CANCELLED);
          return TRUE;
      }
      return FALSE;
  }
  return FALSE;
}

void run_picker(PickerRun& run) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES};
  InitCommonControlsEx(&controls);
  run_owned_dialog(layout(*run.screen), dialog_procedure, reinterpret_cast<LPARAM>(&run), run.ended);
}

// Shows the screen until the user ends it: the row picked (rows.size(), 0, for Try again).
std::expected<std::size_t, PromptStop> show(const PickerScreen& screen) {
  PickerRun run;
  run.screen = &screen;
  std::thread(run_picker, std::ref(run)).join();
  if (run.ended == ENDED_PICKED) return run.picked;
  if (run.ended == ENDED_TIMED_OUT) return std::unexpected(PromptStop{PromptEnd::TimedOut, ""});
  if (run.ended == ENDED_CANCELLED) return std::unexpected(PromptStop{PromptEnd::Cancelled, ""});
  return std::unexpected(PromptStop{PromptEnd::Unavailable, "the certificate dialog cannot be shown"});
}

class NativePicker final : public CertPicker {
 public:
  std::string program() const override { return cert_picker_report().program; }
  std::expected<std::size_t, PromptStop> pick(const PickerScreen& screen) override { return show(screen); }
  std::expected<void, PromptStop> nothing_to_choose(const PickerScreen& screen) override {
    auto again = show(screen);
    if (!again) return std::unexpected(again.error());
    return {};
  }
};

}  // namespace

std::unique_ptr<CertPicker> system_cert_picker() { return std::make_unique<NativePicker>(); }





PromptReport cert_picker_report() { return {"p11agent's own certificate dialog", ""}; }

}  // namespace p11agent::platform
