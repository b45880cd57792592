// Tells what a person sees of an open dialog of the agent's, for the dialog tests that
// drive it under Wine: the first line shown of its description (a read-only text box) and
// the class of the control that has the keyboard focus. The dialog is found by the start of
// its title; another process may ask this of it (EM_GETFIRSTVISIBLELINE returns a number).
// usage: p11agent_dialog_probe TITLE-START. Prints "first line N, focus CLASS"; status 1
// when no such dialog is up.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

struct Search {
  std::wstring title_start;
  HWND found = nullptr;
};

BOOL CALLBACK look_at(HWND window, LPARAM lparam) {
  auto* search = reinterpret_cast<Search*>(lparam);
  wchar_t title[256] = {};
  GetWindowTextW(window, title, 256);
  if (IsWindowVisible(window) && std::wstring(title).starts_with(search->title_start)) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  Search search;
  search.title_start = argv[1];
  EnumWindows(look_at, reinterpret_cast<LPARAM>(&search));
  if (search.found == nullptr) return 1;
  HWND text = FindWindowExW(search.found, nullptr, L"Edit", nullptr);
  const LRESULT first = text != nullptr ? SendMessageW(text, EM_GETFIRSTVISIBLELINE, 0, 0) : -1;
  GUITHREADINFO gui{};
  gui.cbSize = sizeof gui;
  wchar_t focus_class[64] = L"none";
  if (GetGUIThreadInfo(GetWindowThreadProcessId(search.found, nullptr), &gui) && gui.hwndFocus != nullptr)
    GetClassNameW(gui.hwndFocus, focus_class, 64);
  std::printf("first line %ld, focus %ls\n", static_cast<long>(first), focus_class);
  return 0;
}
