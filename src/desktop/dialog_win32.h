#pragma once
// What the agent's own dialogs on Windows share: templates built in memory, the window
// that owns them, the screen's DPI, the deployer's settings. Only the *_win32.cpp files
// include this.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace p11agent::platform {

// A dialog template (DLGTEMPLATE and its items) laid out in memory, in dialog units.
class DialogTemplate {
 public:
  DialogTemplate(DWORD style, short width, short height, const std::wstring& title) {
    words_.resize(sizeof(DLGTEMPLATE) / sizeof(WORD));
    auto* head = reinterpret_cast<DLGTEMPLATE*>(words_.data());
    head->style = style | DS_SETFONT | DS_MODALFRAME | DS_CENTER | DS_SETFOREGROUND | WS_POPUP | WS_CAPTION | WS_SYSMENU;
    head->cx = width;
    head->cy = height;
    words_.push_back(0);  // no menu
    words_.push_back(0);  // the standard dialog class
    add_text(title);
    words_.push_back(9);  // point size: scaled with the screen's DPI like every dialog unit
    add_text(L"Segoe UI");
  }

  // An item of a predefined class (BUTTON, EDIT, STATIC), or of a class named.
  void add_item(WORD id, WORD class_atom, DWORD style, short x, short y, short cx, short cy, const std::wstring& text) {
    begin_item(id, style, x, y, cx, cy);
    words_.push_back(0xFFFF);
    words_.push_back(class_atom);
    end_item(text);
  }
  void add_item(WORD id, const std::wstring& class_name, DWORD style, short x, short y, short cx, short cy,
                const std::wstring& text) {
    begin_item(id, style, x, y, cx, cy);
    add_text(class_name);
    end_item(text);
  }

  const DLGTEMPLATE* get() const { return reinterpret_cast<const DLGTEMPLATE*>(words_.data()); }

 private:
  void begin_item(WORD id, DWORD style, short x, short y, short cx, short cy) {
    while (words_.size() % 2 != 0) words_.push_back(0);  // DWORD alignment
    const std::size_t at = words_.size();
    words_.resize(at + sizeof(DLGITEMTEMPLATE) / sizeof(WORD));
    DLGITEMTEMPLATE item{};
    item.style = style | WS_CHILD | WS_VISIBLE;
    item.x = x;
    item.y = y;
    item.cx = cx;
    item.cy = cy;
    item.id = id;
    std::memcpy(words_.data() + at, &item, sizeof item);
  }
  void end_item(const std::wstring& text) {
    add_text(text);
    words_.push_back(0);  // no creation data
    reinterpret_cast<DLGTEMPLATE*>(words_.data())->cdit++;
  }
  void add_text(const std::wstring& text) {
    words_.insert(words_.end(), text.begin(), text.end());
    words_.push_back(0);
  }
  std::vector<WORD> words_;
};

constexpr WORD BUTTON = 0x0080;
constexpr WORD EDIT = 0x0081;
constexpr WORD STATIC = 0x0082;

// The lines of a text, as an edit control breaks them.
std::wstring with_crlf(const std::string& text);

// How a dialog's run ended: one of these, or the dialog's own outcome.
constexpr INT_PTR DIALOG_RUNNING = 0;
constexpr INT_PTR DIALOG_FAILED = -1;  // it could not be created

// Shows the dialog, owned by the browser's window but not modal to it (a modal dialog
// disables its owner, and a browser window left disabled by an agent that ended meanwhile
// stays so), drawn at the screen's DPI, and runs the thread's messages until `ended` holds
// an outcome; destroys it then.
void run_owned_dialog(const DialogTemplate& layout, DLGPROC procedure, LPARAM parameter, std::atomic<INT_PTR>& ended);

// The timer that ends a dialog nobody answers.
constexpr UINT_PTR TIMEOUT_TIMER = 1;

// On the dialog's creation: starts its timeout, puts it above other windows and asks for
// the foreground, which Windows may refuse a background process (the dialogs' keyboard
// rule covers that case). Whether the dialog is the active window now.
bool bring_to_front(HWND dialog, std::chrono::seconds timeout);

// Flashes the window in the taskbar until it is active, or stops flashing it.
void flash(HWND dialog, bool on);

// Ends a dialog's run with its outcome; its loop sees it at the next message.
void end_dialog_run(std::atomic<INT_PTR>& ended, HWND dialog, INT_PTR outcome);

// The browser's window (set_prompt_owner), where it gave one that still exists.
HWND owner_window();


}  // namespace p11agent::platform
