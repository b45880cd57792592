// Where Windows looks for the libraries a module depends on: never in the working directory,
// also once the directory rule has added its folder. Wine keeps the working directory in
// the search even then, so this shows the setting the system is given.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>

#include "system/library.h"
#include "system/wide.h"
#include "support/fake_token.h"
#include "token/module.h"

namespace p11agent {
namespace {

using namespace testing_support;

// GetDllDirectoryW gives the empty string both for "" and for the default (NULL); what it
// does tell is whether a folder is set.
std::wstring dll_directory() {
  wchar_t folder[MAX_PATH + 1] = {};
  DWORD length = GetDllDirectoryW(MAX_PATH + 1, folder);
  return std::wstring(folder, length);
}

TEST(LibrarySearch, TheWorkingDirectoryStaysOutAcrossEveryLoad) {
  ASSERT_TRUE(SetDllDirectoryW(L"C:\\somewhere"));
  ASSERT_TRUE(platform::keep_working_directory_out_of_library_search());
  EXPECT_EQ(dll_directory(), L"");
  ASSERT_TRUE(open_module(fake_module_path()).has_value());
  EXPECT_EQ(dll_directory(), L"");
  // The rule's module: its folder takes the working directory's place, and stays there for
  // every load after it.
  (void)open_module(std::string(DIRECTORY_RULE_MODULE));
  const std::wstring rule_folder = platform::to_wide(std::string(DIRECTORY_RULE_FOLDER));
  EXPECT_EQ(dll_directory(), rule_folder);
  ASSERT_TRUE(open_module(fake_module_path()).has_value());
  EXPECT_EQ(dll_directory(), rule_folder);
}

// Where a module's own dependencies are looked for, from Microsoft's "Dynamic-link library
// search order" (learn.microsoft.com/windows/win32/dlls/dynamic-link-library-search-order)
// and LoadLibraryExW's reference: the standard order searches the application's folder and
// the system folders but not the folder of the DLL being loaded; the alternate order
// (LOAD_WITH_ALTERED_SEARCH_PATH with a full path) starts there. A vendor's installer puts its
// module's DLLs beside it, so a module named by its full path loads wherever it lives.
TEST(LibrarySearch, AModuleNamedByItsFullPathFindsTheDllsBesideIt) {
  const std::string folder = "C:\\p11agent vendor\\bin";
  const std::string module_path = folder + "\\vendor_p11.dll";
  install_file(fake_module_path("fake_pkcs11_dependent"), module_path);
  install_file(fake_module_path("watchdata\\watchdata_runtime"), folder + "\\watchdata_runtime.dll");
  // As a deployer may write it: with forward slashes, or from the working folder's drive's
  // root; either is made full and backslashed (GetFullPathNameW) before the loader sees it.
  EXPECT_TRUE(open_module("C:/p11agent vendor/bin/vendor_p11.dll").has_value());
  wchar_t working[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, working);
  SetCurrentDirectoryW(L"C:\\");
  EXPECT_TRUE(open_module("\\p11agent vendor\\bin\\vendor_p11.dll").has_value());
  SetCurrentDirectoryW(working);
  EXPECT_TRUE(open_module(module_path).has_value());
  // Its neighbour is not found from anywhere else: without it, the module does not load.
  remove_file(folder + "\\watchdata_runtime.dll");
  EXPECT_FALSE(open_module(module_path).has_value());
  std::error_code ignored;
  std::filesystem::remove_all("C:\\p11agent vendor", ignored);
}

}  // namespace
}  // namespace p11agent
