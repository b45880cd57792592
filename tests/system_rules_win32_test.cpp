// What Windows itself decides for the agent, written down as tables from Microsoft's
// documentation and checked against what the agent makes of it under Wine: which paths name
// a device rather than a file, and how each type a deployer may write a switch in reads.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "settings/deployer_settings.h"
#include "system/file_access_win32.h"

namespace p11agent {
namespace {

// "Naming Files, Paths, and Namespaces" (learn.microsoft.com/windows/win32/fileio/naming-a-file):
// "\\.\" is the Win32 device namespace, "\\?\" turns off path parsing and names a device
// unless a drive or "UNC\" follows, "\??\" is the NT object namespace; CON, PRN, AUX, NUL,
// COM0-COM9, LPT0-LPT9 (also with the superscript digits 1 to 3), CONIN$ and CONOUT$ are
// reserved in every folder, "NUL.txt" and "NUL .txt" among them.
TEST(SystemRules, APathNamesADeviceByItsTextAlone) {
  const std::vector<std::pair<std::wstring, bool>> paths = {
      {L"NUL", true},
      {L"nul.jsonl", true},
      {L"C:\\logs\\COM1.jsonl", true},
      {L"C:\\logs\\AUX .txt", true},
      {L"C:/logs/lpt9", true},
      {L"C:\\logs\\COM\u00b9", true},
      {L"C:\\logs\\CONOUT$", true},
      {L"C:NUL", true},
      {L"\\\\.\\NUL", true},
      {L"\\\\.\\pipe\\p11agent-trace", true},
      {L"//./pipe/p11agent-trace", true},
      {L"\\\\?\\GLOBALROOT\\Device\\Null", true},
      {L"\\??\\C:\\logs\\trace.jsonl", true},
      {L"\\\\?\\C:\\logs\\trace.jsonl", false},
      {L"\\\\?\\UNC\\server\\share\\trace.jsonl", false},
      {L"\\\\server\\share\\trace.jsonl", false},
      {L"C:\\logs\\COM10.jsonl", false},
      {L"C:\\logs\\nullish.jsonl", false},
      {L"C:\\CON\\trace.jsonl", false},
      {L"C:\\logs\\trace.jsonl", false},
  };
  for (const auto& [path, device] : paths)
    EXPECT_EQ(platform::names_a_device(path), device) << std::string(path.begin(), path.end());
}

// A switch in each form `reg add` can write it (REG_DWORD with /t REG_DWORD; REG_SZ, its
// default without /t; the other types with their /t): the DWORD 0 or 1 as meant, the text
// "1" as on with a word about it, everything else off with a word about it; a setting
// written as REG_EXPAND_SZ is read with its variables expanded (RegGetValueW's reference:
// without RRF_NOEXPAND it expands REG_EXPAND_SZ and reports it as REG_SZ).
TEST(SystemRules, ASwitchIsReadInEveryFormADeployerMayWriteIt) {
  struct Form {
    const char* name;
    DWORD type;
    std::vector<BYTE> data;
    bool on;
    bool warned;
  };
  auto dword = [](DWORD value) {
    std::vector<BYTE> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
  };
  auto text = [](const std::wstring& value) {
    std::vector<BYTE> bytes((value.size() + 1) * sizeof(wchar_t));
    std::memcpy(bytes.data(), value.c_str(), bytes.size());
    return bytes;
  };
  const std::vector<Form> forms = {
      {"DWORD 1", REG_DWORD, dword(1), true, false},
      {"DWORD 0", REG_DWORD, dword(0), false, false},
      {"DWORD 2", REG_DWORD, dword(2), false, true},
      {"the text 1", REG_SZ, text(L"1"), true, true},
      {"the text yes", REG_SZ, text(L"yes"), false, true},
      {"the text 1, expandable", REG_EXPAND_SZ, text(L"1"), true, true},
      {"QWORD 1", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}, false, true},
      {"binary 1", REG_BINARY, {1}, false, true},
  };
  const wchar_t* key = L"Software\\p11agent";
  for (const Form& form : forms) {
    SCOPED_TRACE(form.name);
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, L"RequirePinPrompt", form.type, form.data.data(),
                              static_cast<DWORD>(form.data.size())),
              ERROR_SUCCESS);
    const platform::DeployerSwitch read = platform::deployer_switch("RequirePinPrompt");
    EXPECT_EQ(read.on, form.on);
    EXPECT_EQ(!read.problem.empty(), form.warned) << read.problem;
  }
  RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key, L"RequirePinPrompt");
  EXPECT_FALSE(platform::deployer_switch("RequirePinPrompt").on);
  const std::wstring expandable = L"%SystemRoot%\\p11agent";
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, L"SignatureConsent", REG_EXPAND_SZ, expandable.c_str(),
                  static_cast<DWORD>((expandable.size() + 1) * sizeof(wchar_t)));
  const std::string expanded = platform::deployer_setting("SignatureConsent").value_or("");
  RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key, L"SignatureConsent");
  EXPECT_EQ(expanded.find('%'), std::string::npos) << expanded;
  EXPECT_TRUE(expanded.ends_with("\\p11agent")) << expanded;
}

}  // namespace
}  // namespace p11agent
