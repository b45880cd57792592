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
#include "platform/files.h"
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#else
#include <windows.h>
#include <sddl.h>

#include "platform/file_access_win32.h"
#include "platform/wide.h"
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
      {"Chrome only: Firefox allows none", false,
       {"/usr/bin/p11agent", {"chrome-extension://aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa/"}, {}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path root = fresh_folder();
    const auto places = places_under(root, c.every_user);
    std::vector<std::string> done;
    ASSERT_TRUE(register_host(c.registration, places, done).has_value());
    EXPECT_EQ(done.size(), places.size());
    for (const auto& place : places) {
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
    EXPECT_EQ(done.size(), places.size());
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
  const HostRegistration registration{"/usr/bin/p11agent", {}, {"a@b.org"}};

  // Another host's file at one of the places is no manifest of this host.
  fs::create_directories(fs::path(places.front().manifest).parent_path());
  std::ofstream(places.front().manifest) << R"({"name":"someone-else"})";
  std::vector<std::string> done;
  ASSERT_TRUE(unregister_host(places, done).has_value());
  EXPECT_TRUE(done.empty());
  EXPECT_TRUE(fs::exists(places.front().manifest));

  // An earlier registration of this host at a place between (Linux has four places,
  // Windows two).
  const bool between = places.size() > 2;
  if (between) {
    ASSERT_TRUE(register_host(HostRegistration{"/usr/bin/p11agent", {}, {"old@b.org"}}, std::span(places).subspan(1, 1), done));
  }
  const std::string earlier = between ? read_text(places[1].manifest) : "";

  // A manifest that cannot be written (a folder in its place, which stops an administrator
  // as well): the failure names it, and every place holds again what it held before.
  fs::create_directories(places.back().manifest);
  done.clear();
  const auto result = register_host(registration, places, done);
  ASSERT_FALSE(result.has_value());
  EXPECT_TRUE(result.error().starts_with("cannot write " + places.back().manifest + ": ")) << result.error();
  EXPECT_EQ(read_text(places[0].manifest), R"({"name":"someone-else"})");
  if (between) {
    EXPECT_EQ(read_text(places[1].manifest), earlier);
  }
  for (std::size_t i = 2; i + 1 < places.size(); ++i) EXPECT_FALSE(fs::exists(places[i].manifest)) << places[i].manifest;
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
  const auto result = register_host(HostRegistration{"/usr/bin/p11agent", {}, {"c@d.org"}}, places, done);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "not written through a link: " + planted.string());
  EXPECT_FALSE(fs::exists(root / "p11agent.json"));
  EXPECT_EQ(read_json(places.front().manifest)["allowed_origins"], nlohmann::json(registration.chrome_origins));
  fs::remove_all(root);
}

// --register-host --system refuses an executable that someone other than an administrator
// could replace, before it writes anything. (Run end to end, a missing refusal would
// register the host on this machine: the check is tested on its own.)
TEST(HostRegistration, EveryUserRegistrationRefusesAnExecutableOthersCanChange) {
  const fs::path root = fresh_folder();
  struct Case {
    const char* name;
    fs::perms folder, file;
    bool refused;
  };
  const std::vector<Case> cases = {
      {"only root can change it", fs::perms(0755), fs::perms(0755), false},
      {"a folder above others may write", fs::perms(0777), fs::perms(0755), true},
      {"a sticky folder above", fs::perms(01777), fs::perms(0755), false},
      {"the file others may write", fs::perms(0755), fs::perms(0757), true},
  };
  const bool as_root = ::geteuid() == 0;
  fs::permissions(root, fs::perms(0755));
  for (const Case& c : cases) {
    const fs::path folder = root / "bin";
    fs::create_directories(folder);
    std::ofstream(folder / "p11agent") << "";
    fs::permissions(folder, c.folder);
    fs::permissions(folder / "p11agent", c.file);
    const auto found = platform::changeable_by_others((folder / "p11agent").string());
    // Owned by root only when the test runs as root: otherwise the owner is reason enough.
    EXPECT_EQ(found.has_value(), c.refused || !as_root) << c.name << ": " << found.value_or("");
    fs::remove_all(folder);
  }
  fs::remove_all(root);
}
#endif

#ifdef _WIN32
// On Windows the owners and access lists of the file and its folders decide: an object
// that an account other than the administrators' may change is named, with the account.
TEST(HostRegistration, EveryUserRegistrationRefusesAnExecutableOthersCanChangeOnWindows) {
  const std::vector<std::pair<const wchar_t*, const char*>> cases = {
      // owner and access list, in the system's own notation; what is said ("" nothing)
      {L"O:BAD:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;FR;;;BU)", ""},
      {L"O:SYD:P(A;;FA;;;SY)(A;OICIIO;FA;;;CO)", ""},  // a rule only for what is made inside
      {L"O:BAD:P(A;;FA;;;BA)(A;;FRFW;;;BU)", "can be changed by BUILTIN\\Users"},
      {L"O:BAD:P(A;;FA;;;BA)(A;;WD;;;WD)", "can be changed by Everyone"},
      {L"O:BAD:P(A;;FA;;;BA)(A;;SD;;;AU)", "can be changed by NT AUTHORITY\\Authenticated Users"},
      {L"O:BAD:P(D;;FA;;;BU)", ""},                      // a refusal gives no right
      {L"O:BUD:P(A;;FA;;;BA)", "belongs to BUILTIN\\Users"},
      {L"O:BA", "has no access list: everyone can change it"},
  };
  for (const auto& [sddl, said] : cases) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr));
    const auto found = platform::descriptor_lets_others_change(descriptor);
    LocalFree(descriptor);
    EXPECT_EQ(found.value_or(""), said) << platform::to_utf8(sddl);
  }
}
#endif

}  // namespace
}  // namespace p11agent
