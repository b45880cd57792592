// --register-host and --unregister-host on the places of both scopes, moved under a
// folder of the test's own (the registry keys of the Windows places are left to the
// installer test, which reads them with reg query).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include <nlohmann/json.hpp>

#include "app/host_registration.h"

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

  // A manifest that cannot be written (a folder in its place, which stops an administrator
  // as well): the failure names it, and what this run wrote is taken back.
  fs::create_directories(places.back().manifest);
  done.clear();
  const auto result = register_host(registration, places, done);
  ASSERT_FALSE(result.has_value());
  EXPECT_TRUE(result.error().starts_with("cannot write " + places.back().manifest + ": ")) << result.error();
  for (std::size_t i = 0; i + 1 < places.size(); ++i) EXPECT_FALSE(fs::exists(places[i].manifest)) << places[i].manifest;
  fs::remove_all(root);
}

}  // namespace
}  // namespace p11agent
