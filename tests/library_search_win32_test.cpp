// Where Windows looks for the libraries a module depends on: never in the working directory,
// also once the directory rule has added its folder. Wine keeps the working directory in
// the search even then, so this shows the setting the system is given.
#include <gtest/gtest.h>
#include <windows.h>

#include "platform/library.h"
#include "platform/wide.h"
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

}  // namespace
}  // namespace p11agent
