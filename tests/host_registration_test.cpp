// --register-host and --unregister-host on the places of both scopes, moved under a
// folder of the test's own (the registry keys of the Windows places are left to the
// installer test, which reads them with reg query).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include <nlohmann/json.hpp>

#include "app/host_registration.h"
#include "system/files.h"
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#else
#include <windows.h>
#include <sddl.h>

#include "system/file_access_win32.h"
#include "system/wide.h"
#endif

namespace p11agent {
namespace {

namespace fs = std::filesystem;
using platform::ManifestForm;

fs::path fresh_folder() {
  const fs::path folder = fs::temp_directory_path() / ("p11reg-" + std::to_string(std::random_device{}()));
  fs::create_directories(folder);
  return folder;
}

// The same place under `root`, without keys ("C:\x" becomes "<root>\C\x").
std::string moved(const fs::path& root, std::string path) {
  std::erase(path, ':');
  return (root / fs::path(path).relative_path()).string();
}

std::vector<platform::HostPlace> places_under(const fs::path& root, bool every_user) {
  auto places = platform::host_places(every_user, HOST_NAME, "C:\\Program Files\\p11agent\\p11agent.exe");
  EXPECT_TRUE(places.has_value());
  for (auto& place : *places) {
    place.manifest = moved(root, place.manifest);
    place.base = moved(root, place.base);
    place.keys.clear();
  }
  return *places;
}

std::vector<fs::path> files_under(const fs::path& root) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (!entry.is_directory()) files.push_back(entry.path());
  return files;
}

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

nlohmann::json read_json(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return nlohmann::json::parse(in, nullptr, false);
}

struct RegistrationCase {
  std::string name;
  bool every_user;
  HostRegistration registration;
};

TEST(HostRegistration, WritesExactlyTheGivenExtensionsAndUnregisteringLeavesNothing) {
  const std::vector<RegistrationCase> cases = {
      {"one user, one id each", false,
       {"/opt/p11agent/bin/p11agent", {"chrome-extension://mocfelaojeifljllokijgedhmchkecgh/"}, {"a@b.org"}}},
      {"every user, several ids, a path JSON must escape", true,
       {"C:\\Program Files\\p\"11\\p11agent.exe",
        {"chrome-extension://mocfelaojeifljllokijgedhmchkecgh/", "chrome-extension://aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa/"},
        {"a@b.org", "{0c3e4e58-6d45-4a11-9c07-3f4e6d1b2a90}"}}},
      {"Chrome only: Firefox's manifest is left as it was", false,
       {"/usr/bin/p11agent", {"chrome-extension://aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa/"}, {}}},
      {"Firefox only, every user: none written for Chrome", true, {"/usr/bin/p11agent", {}, {"a@b.org"}}},
  };
  const std::string earlier = R"({"name":"p11agent","allowed_extensions":["old@b.org"]})";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path root = fresh_folder();
    const auto places = places_under(root, c.every_user);
    auto named = [&](const platform::HostPlace& place) {
      return !(place.form == ManifestForm::Chromium ? c.registration.chrome_origins : c.registration.firefox_extensions)
                  .empty();
    };
    // Firefox's manifest from an earlier registration stays as it is; Chrome's places stay empty.
    for (const auto& place : places)
      if (!named(place) && place.form == ManifestForm::Firefox) {
        fs::create_directories(fs::path(place.manifest).parent_path());
        std::ofstream(place.manifest) << earlier;
      }
    std::vector<std::string> done;
    ASSERT_TRUE(register_host(c.registration, places, done).has_value());
    EXPECT_EQ(done.size(), static_cast<std::size_t>(std::ranges::count_if(places, named)));
    for (const auto& place : places) {
      if (!named(place)) {
        EXPECT_EQ(read_text(place.manifest), place.form == ManifestForm::Firefox ? earlier : "") << place.manifest;
        continue;
      }
      const auto manifest = read_json(place.manifest);
      ASSERT_TRUE(manifest.is_object()) << place.manifest;
      EXPECT_EQ(manifest["name"], "p11agent");
      EXPECT_EQ(manifest["type"], "stdio");
      EXPECT_EQ(manifest["path"], c.registration.executable);
      if (place.form == ManifestForm::Chromium) {
        EXPECT_EQ(manifest["allowed_origins"], c.registration.chrome_origins);
        EXPECT_FALSE(manifest.contains("allowed_extensions"));
      } else {
        EXPECT_EQ(manifest["allowed_extensions"], c.registration.firefox_extensions);
      }
    }
    done.clear();
    ASSERT_TRUE(unregister_host(places, done).has_value());
    EXPECT_EQ(done.size(), static_cast<std::size_t>(std::ranges::count_if(places, [&](const platform::HostPlace& place) {
                return named(place) || place.form == ManifestForm::Firefox;
              })));
    // The folders registering made went with the manifests.
    EXPECT_TRUE(files_under(root).empty());
    for (const auto& place : places) {
      const fs::path folder = fs::path(place.manifest).parent_path();
      if (folder != fs::path(place.base)) {
        EXPECT_FALSE(fs::exists(folder)) << place.manifest;
      }
    }
    fs::remove_all(root);
  }
}

TEST(HostRegistration, LeavesWhatIsNotItsOwnAndTakesBackAFailedRun) {
  const fs::path root = fresh_folder();
  const auto places = places_under(root, false);
  const HostRegistration registration{"/usr/bin/p11agent", {"chrome-extension://aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa/"}, {"a@b.org"}};

  // Another host's file at one of the places is no manifest of this host, whatever its
  // "name" holds.
  fs::create_directories(fs::path(places.front().manifest).parent_path());
  std::vector<std::string> done;
  for (const char* other : {R"({"name":5})", R"({"name":"someone-else"})"}) {
    std::ofstream(places.front().manifest) << other;
    ASSERT_TRUE(unregister_host(places, done).has_value());
    EXPECT_TRUE(done.empty());
    EXPECT_EQ(read_text(places.front().manifest), other);
  }

  // An earlier registration of this host at a place between (Linux has four places,
  // Windows two).
  const bool between = places.size() > 2;
  if (between) {
    ASSERT_TRUE(register_host(HostRegistration{"/usr/bin/p11agent", {"chrome-extension://bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb/"}, {"old@b.org"}},
                              std::span(places).subspan(1, 1), done));
  }
  const std::string earlier = between ? read_text(places[1].manifest) : "";

  // A manifest that cannot be written (a folder in its place, which stops an administrator
  // as well), or an agent whose path no manifest can name (a folder's name that is not
  // UTF-8, which Linux allows): the failure says so, and every place holds again what it
  // held before.
  fs::create_directories(places.back().manifest);
  HostRegistration not_utf8 = registration;
  not_utf8.executable = "/opt/p\xff" "11agent/p11agent";
  for (const auto& [tried, failure] :
       {std::pair{registration, "cannot write " + places.back().manifest + ": "},
        std::pair{not_utf8, std::string("the agent's path is not UTF-8 text, which no browser's manifest can name")}}) {
    done.clear();
    const auto result = register_host(tried, places, done);
    ASSERT_FALSE(result.has_value());
    EXPECT_TRUE(result.error().starts_with(failure)) << result.error();
    EXPECT_EQ(read_text(places[0].manifest), R"({"name":"someone-else"})");
    if (between) {
      EXPECT_EQ(read_text(places[1].manifest), earlier);
    }
    for (std::size_t i = 2; i + 1 < places.size(); ++i) EXPECT_FALSE(fs::exists(places[i].manifest)) << places[i].manifest;
  }
  fs::remove_all(root);
}

#ifndef _WIN32
// Every user's places get modes every user can read, whatever the umask; nothing is written
// through a link but the package's own link to its configuration file.
TEST(HostRegistration, WritesEveryUsersPlacesReadableAndThroughNoLinkButThePackagesOwn) {
  const fs::path root = fresh_folder();
  const HostRegistration registration{"/usr/bin/p11agent", {"chrome-extension://abcdefghijklmnopabcdefghijklmnop/"}, {"a@b.org"}};
  std::vector<std::string> done;
  const mode_t umask_before = ::umask(027);
  const auto shared = places_under(root / "system", true);
  ASSERT_TRUE(register_host(registration, shared, done));
  ::umask(umask_before);
  for (const auto& place : shared) {
    EXPECT_EQ(fs::status(place.manifest).permissions(), fs::perms(0644)) << place.manifest;
    for (fs::path folder = fs::path(place.manifest).parent_path(); folder != fs::path(place.base);
         folder = folder.parent_path())
      EXPECT_EQ(fs::status(folder).permissions(), fs::perms(0755)) << folder;
  }

  // The package's link is written through; a link planted at a manifest is replaced, and
  // one planted among the folders stops the run, which then puts back what it wrote.
  auto places = places_under(root / "user", false);
  const fs::path victim = root / "victim";
  std::ofstream(victim) << "not a manifest";
  places.back().package_file = (root / "package.json").string();
  std::ofstream(places.back().package_file) << "{}";
  for (const auto& place : places) fs::create_directories(fs::path(place.manifest).parent_path());
  fs::create_symlink(places.back().package_file, places.back().manifest);
  fs::create_symlink(victim, places.front().manifest);
  ASSERT_TRUE(register_host(registration, places, done));
  EXPECT_EQ(read_text(victim), "not a manifest");
  EXPECT_FALSE(fs::is_symlink(places.front().manifest));
  EXPECT_TRUE(fs::is_symlink(places.back().manifest));
  EXPECT_EQ(read_json(places.back().package_file)["allowed_extensions"], nlohmann::json::array({"a@b.org"}));
  // Unregistering keeps the package's link and file, which then allows no extension.
  ASSERT_TRUE(unregister_host(std::span(places).last(1), done));
  EXPECT_TRUE(fs::is_symlink(places.back().manifest));
  EXPECT_EQ(read_json(places.back().package_file)["allowed_extensions"], nlohmann::json::array());
  ASSERT_TRUE(register_host(registration, std::span(places).last(1), done));

  const fs::path planted = fs::path(places[1].manifest).parent_path();
  fs::remove_all(planted);
  fs::create_directory_symlink(root, planted);
  const auto result = register_host(
      HostRegistration{"/usr/bin/p11agent", {"chrome-extension://cccccccccccccccccccccccccccccccc/"}, {"c@d.org"}}, places, done);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "not written through a link: " + planted.string());
  EXPECT_FALSE(fs::exists(root / "p11agent.json"));
  EXPECT_EQ(read_json(places.front().manifest)["allowed_origins"], nlohmann::json(registration.chrome_origins));
  fs::remove_all(root);
}

// --register-host --system refuses an executable that someone other than an administrator
// could replace, before it writes anything, and --doctor holds one user's registration to
// that user's and the administrators' accounts. (Run end to end, a missing refusal would
// register the host on this machine: the check is tested on its own.)
TEST(HostRegistration, EveryUserRegistrationRefusesAnExecutableOthersCanChange) {
  const fs::path root = fresh_folder();
  struct Case {
    const char* name;
    fs::perms folder, file;
    bool own_account_trusted;  // one user's registration: that user's own program counts
    bool another_owner;        // the file belongs to an account that is neither root nor this one
    bool refused;
    fs::perms above = fs::perms(0755);  // the folder above the one that holds it
  };
  const std::vector<Case> cases = {
      {"only root can change it", fs::perms(0755), fs::perms(0755), false, false, false},
      {"a folder above others may write", fs::perms(0777), fs::perms(0755), false, false, true},
      // Others may add beside the agent in a sticky folder (a host where it is missing).
      {"a sticky folder that holds it", fs::perms(01777), fs::perms(0755), false, false, true},
      {"a sticky folder above", fs::perms(0755), fs::perms(0755), false, false, false, fs::perms(01777)},
      {"the file others may write", fs::perms(0755), fs::perms(0757), false, false, true},
      {"one user's own program, for that user", fs::perms(0755), fs::perms(0755), true, false, false},
      {"one user's own program that others may write", fs::perms(0777), fs::perms(0755), true, false, true},
      {"another user's program, for this user", fs::perms(0755), fs::perms(0755), true, true, true},
  };
  const bool as_root = ::geteuid() == 0;
  for (const Case& c : cases) {
    if (c.another_owner && !as_root) continue;  // only root gives a file away
    fs::permissions(root, c.above);
    const fs::path folder = root / "bin";
    fs::create_directories(folder);
    std::ofstream(folder / "p11agent") << "";
    fs::permissions(folder, c.folder);
    fs::permissions(folder / "p11agent", c.file);
    if (c.another_owner) {
      ASSERT_EQ(::chown((folder / "p11agent").c_str(), 4242, 4242), 0);
    }
    const auto found = platform::changeable_by_others((folder / "p11agent").string(), c.own_account_trusted);
    // Owned by root only when the test runs as root: otherwise the owner is reason enough
    // for every user's registration.
    EXPECT_EQ(found.has_value(), c.refused || (!as_root && !c.own_account_trusted)) << c.name << ": " << found.value_or("");
    fs::remove_all(folder);
  }
  fs::remove_all(root);
}
#endif

#ifdef _WIN32
// The descriptors of a standard Windows 10/11, in the system's own notation (Security
// Descriptor String Format), as icacls and Get-Acl show them on a fresh installation:
// the system drive's root grants every signed-in user the right to add a folder
// (Authenticated Users: (AD), FILE_ADD_SUBDIRECTORY, 0x4) and modify rights only for what
// is made inside it later (inherit-only); Program Files belongs to TrustedInstaller; the
// folder an installer running as SYSTEM makes there inherits from it. Rights by value:
// Microsoft's "File Access Rights Constants" (FILE_DELETE_CHILD 0x40; 0x1200a9 read and
// execute; 0x1301bf modify).
#define TI L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
#define USER L"S-1-5-21-1004336348-1177238915-682003330-1001"
constexpr const wchar_t* DRIVE_ROOT =
    L"O:" TI L"D:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;OICIIO;SDGXGWGR;;;AU)(A;;0x4;;;AU)";
constexpr const wchar_t* PROGRAM_FILES =
    L"O:" TI L"D:PAI(A;;FA;;;" TI L")(A;CIIO;GA;;;" TI L")(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)"
    L"(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;S-1-15-2-1)"
    L"(A;OICIIO;GXGR;;;S-1-15-2-1)";
constexpr const wchar_t* INSTALLED_FOLDER =
    L"O:BAD:AI(A;CIID;FA;;;" TI L")(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x1200a9;;;BU)"
    L"(A;OICIIOID;GA;;;CO)(A;OICIID;0x1200a9;;;S-1-15-2-1)";
constexpr const wchar_t* INSTALLED_FILE =
    L"O:BAD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)(A;ID;0x1200a9;;;S-1-15-2-1)";
// A folder made under C:\ after installation inherits Authenticated Users' modify right.
constexpr const wchar_t* FOLDER_UNDER_ROOT =
    L"O:BAD:AI(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)(A;OICIID;0x1200a9;;;BU)(A;ID;0x1301bf;;;AU)"
    L"(A;OICIIOID;SDGXGWGR;;;AU)";
constexpr const wchar_t* USERS = L"O:SYD:PAI(A;;0x1200a9;;;WD)(A;OICIIO;GXGR;;;WD)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr const wchar_t* PROFILE = L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" USER L")";
// A file whose list only administrators can change, wherever it is.
constexpr const wchar_t* LOCKED_FILE = L"O:BAD:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;0x1200a9;;;BU)";

// The rule before it read rights by what they mean on a folder: any right that writes
// counted, on the file and on every folder alike.
constexpr ACCESS_MASK FORMER_MASK = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                                    FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
constexpr platform::ChangeRights FORMER_RULE{FORMER_MASK, FORMER_MASK, FORMER_MASK};
// A folder of administrators', where users may add files (0x2, FILE_ADD_FILE), add files
// and folders and write attributes (0x100116), or write (GW, GENERIC_WRITE).
std::wstring admins_folder_where_users(const wchar_t* add) {
  return std::wstring(L"O:BAD:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;0x1200a9;;;BU)") + add;
}
// The account this test runs as, in the descriptors' notation.
std::wstring this_account_sid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return L"";
  std::vector<std::byte> buffer(512);
  DWORD size = 0;
  const bool read = GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size);
  CloseHandle(token);
  wchar_t* text = nullptr;
  if (!read || !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) return L"";
  std::wstring sid = text;
  LocalFree(text);
  return sid;
}

// On Windows the owners and access lists of the file and its folders decide: an object
// that an account other than the administrators' may change is named, with the account.
TEST(HostRegistration, EveryUserRegistrationRefusesAnExecutableOthersCanChangeOnWindows) {
  struct Case {
    const char* name;
    std::vector<std::pair<const char*, std::wstring>> from_file_up;  // object, descriptor
    const char* said;                  // "" nothing
    const char* former_said;           // what the former rule said
    bool own_account_trusted = false;  // one user's registration, where that user's account counts
  };
  const std::wstring mine = L"O:" + this_account_sid() + L"D:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;0x1200a9;;;BU)";
  std::vector<Case> cases = {
      {"administrators only", {{"f", L"O:BAD:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;FR;;;BU)"}}, "", ""},
      {"a rule only for what is made inside", {{"f", L"O:SYD:P(A;;FA;;;SY)(A;OICIIO;FA;;;CO)"}}, "", ""},
      {"users write the file", {{"f", L"O:BAD:P(A;;FA;;;BA)(A;;FRFW;;;BU)"}}, "f can be changed by BUILTIN\\Users",
       "f can be changed by BUILTIN\\Users"},
      {"everyone sets its list", {{"f", L"O:BAD:P(A;;FA;;;BA)(A;;WD;;;WD)"}}, "f can be changed by Everyone",
       "f can be changed by Everyone"},
      {"signed-in users delete it", {{"f", L"O:BAD:P(A;;FA;;;BA)(A;;SD;;;AU)"}},
       "f can be changed by NT AUTHORITY\\Authenticated Users", "f can be changed by NT AUTHORITY\\Authenticated Users"},
      {"a refusal gives no right", {{"f", L"O:BAD:P(D;;FA;;;BU)"}}, "", ""},
      {"owned by users", {{"f", L"O:BUD:P(A;;FA;;;BA)"}}, "f belongs to BUILTIN\\Users", "f belongs to BUILTIN\\Users"},
      {"no access list", {{"f", L"O:BA"}}, "f has no access list: everyone can change it",
       "f has no access list: everyone can change it"},
      {"a standard installation under Program Files",
       {{"C:\\Program Files\\p11agent\\p11agent.exe", INSTALLED_FILE},
        {"C:\\Program Files\\p11agent", INSTALLED_FOLDER},
        {"C:\\Program Files", PROGRAM_FILES},
        {"C:\\", DRIVE_ROOT}},
       "", "C:\\ can be changed by NT AUTHORITY\\Authenticated Users"},
      {"a folder made under C:\\",
       {{"C:\\Tools\\p11agent.exe", LOCKED_FILE}, {"C:\\Tools", FOLDER_UNDER_ROOT}, {"C:\\", DRIVE_ROOT}},
       "C:\\Tools can be changed by NT AUTHORITY\\Authenticated Users",
       "C:\\Tools can be changed by NT AUTHORITY\\Authenticated Users"},
      {"a file that inherits it there",
       {{"C:\\Tools\\p11agent.exe", L"O:BAD:AI(A;ID;FA;;;BA)(A;ID;0x1301bf;;;AU)"},
        {"C:\\Tools", FOLDER_UNDER_ROOT},
        {"C:\\", DRIVE_ROOT}},
       "C:\\Tools\\p11agent.exe can be changed by NT AUTHORITY\\Authenticated Users",
       "C:\\Tools\\p11agent.exe can be changed by NT AUTHORITY\\Authenticated Users"},
      {"a user's profile folder",
       {{"C:\\Users\\anna\\p11agent.exe", LOCKED_FILE},
        {"C:\\Users\\anna", PROFILE},
        {"C:\\Users", USERS},
        {"C:\\", DRIVE_ROOT}},
       "C:\\Users\\anna can be changed by S-1-5-21-1004336348-1177238915-682003330-1001",
       "C:\\Users\\anna can be changed by S-1-5-21-1004336348-1177238915-682003330-1001"},

      {"this account's own program, for every user", {{"f", mine}}, "f belongs to ", "f belongs to "},
      {"this account's own program, for this user alone", {{"f", mine}}, "", "", true},
  };
  // Users may add to the folder: refused where it is the program's own (a DLL added there is
  // loaded), accepted above it.
  for (const wchar_t* add : {L"(A;;0x2;;;BU)", L"(A;;0x100116;;;BU)", L"(A;;GW;;;BU)"}) {
    cases.push_back({"users add to the program's folder",
                     {{"C:\\Vendor\\p11agent.exe", LOCKED_FILE}, {"C:\\Vendor", admins_folder_where_users(add)}, {"C:\\", DRIVE_ROOT}},
                     "C:\\Vendor can be changed by BUILTIN\\Users", "C:\\Vendor can be changed by BUILTIN\\Users"});
    cases.push_back({"users add to a folder above it",
                     {{"C:\\Vendor\\p11agent\\p11agent.exe", LOCKED_FILE},
                      {"C:\\Vendor\\p11agent", LOCKED_FILE},
                      {"C:\\Vendor", admins_folder_where_users(add)},
                      {"C:\\", DRIVE_ROOT}},
                     "", "C:\\Vendor can be changed by BUILTIN\\Users"});
  }
  for (const Case& c : cases) {
    std::vector<platform::PathObject> objects;
    for (const auto& [name, sddl] : c.from_file_up) {
      PSECURITY_DESCRIPTOR descriptor = nullptr;
      ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
          << c.name;
      objects.push_back({name, descriptor});
    }
    // The account's name as the system gives it follows "belongs to ".
    auto starts = [](const std::optional<std::string>& said) { return said.value_or("").substr(0, std::string_view("f belongs to ").size()); };
    const bool by_start = std::string_view(c.said).ends_with("belongs to ");
    const auto said = platform::path_lets_others_change(objects, c.own_account_trusted);
    const auto former = platform::path_lets_others_change(objects, c.own_account_trusted, FORMER_RULE);
    EXPECT_EQ(by_start ? starts(said) : said.value_or(""), c.said) << c.name;
    EXPECT_EQ(by_start ? starts(former) : former.value_or(""), c.former_said) << c.name;
    for (const auto& object : objects) LocalFree(object.descriptor);
  }
}
#undef TI
#undef USER
#endif

}  // namespace
}  // namespace p11agent
