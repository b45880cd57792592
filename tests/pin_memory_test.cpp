// Every heap block freed while requests are read and answered is scanned for the PIN they
// carried: each buffer that held it must have been wiped before it was given back.
#include <gtest/gtest.h>

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>

#include "daemon/line_reader.h"
#include "daemon/serve.h"
#include "system/host_process.h"
#include "system/process.h"
#include "support/agent.h"
#include "support/fake_token.h"
#include "support/host_server.h"
#include "text/utf8.h"
#include "token/certificate.h"
#include "token/module_host.h"
#include "wire/request.h"
#include "wire/response.h"

namespace {

std::atomic<bool> g_scanning{false};
std::string g_secret;
std::atomic<long> g_blocks_with_secret{0};

void scan_freed(void* block) {
  if (block == nullptr || !g_scanning.load()) return;
  if (memmem(block, malloc_usable_size(block), g_secret.data(), g_secret.size()) != nullptr) ++g_blocks_with_secret;
}

}  // namespace

// Every new and delete of this program goes through malloc and free, so that a freed
// block's size is known.
void* operator new(std::size_t size) {
  if (void* block = std::malloc(size != 0 ? size : 1)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* block) noexcept {
  scan_freed(block);
  std::free(block);
}
void operator delete[](void* block) noexcept { ::operator delete(block); }
void operator delete(void* block, std::size_t) noexcept { ::operator delete(block); }
void operator delete[](void* block, std::size_t) noexcept { ::operator delete(block); }

namespace p11agent {
namespace {

using namespace testing_support;

TEST(PinMemory, NoFreedBufferHoldsThePinOfARequest) {
  // Longer than a string's inline room: every copy of it is a heap block.
  g_secret = "pin-for-the-memory-check-0123456789";
  const std::string cert = der_with_serial("0e0f");
  const std::string print = thumbprint_of(hex_bytes(cert)).value();
  const std::string path = fake_module_path();
  fake_folder().write_scenario(
      file_name_of(path), {{"slots", json::array({slot(1, token("T", "S", {certificate(cert), private_key()}))})}});
  DaemonState state;
  state.module_table[path] = open_module(path).value();
  const std::string validate = json{{"cmd", "validate"}, {"thumbprint", print}, {"pin", g_secret}}.dump();
  const std::string sign = json{{"cmd", "sign"}, {"thumbprint", print}, {"pin", g_secret}, {"hash_hex", "00"}}.dump();
  const std::string input = validate + "\r\n" + R"({"cmd":"ping"})" + "\n\n" + R"({"cmd":"ping"})" + "\n" + sign;
  std::vector<std::string> answers;
  answers.reserve(8);

  g_scanning = true;
  {
    // The daemon: lines delivered a few bytes a read, so that its buffer grows and moves.
    std::size_t at = 0;
    LineReader reader([&](char* buffer, std::size_t capacity) -> std::optional<std::size_t> {
      std::size_t n = std::min({capacity, input.size() - at, std::size_t{7}});
      std::memcpy(buffer, input.data() + at, n);
      at += n;
      return n;
    });
    while (auto request = reader.next_request()) answers.push_back(handle_daemon_request(state, request->text));
  }
  {
    // The one-shot intake: standard input read to its end, then parsed.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], sign.data(), sign.size()), static_cast<ssize_t>(sign.size()));
    close(fds[1]);
    int saved = dup(0);
    dup2(fds[0], 0);
    close(fds[0]);
    {
      auto text = platform::read_stdin_to_end();
      auto request = parse_request(trim_white_space(*text));
      EXPECT_TRUE(request && request->pin && std::string_view(*request->pin) == g_secret);
    }
    dup2(saved, 0);
    close(saved);
  }
  {
    // A module host's side: the PIN crosses in a request and is handed to C_Login.
    using namespace host_protocol;
    ModuleHostServer host;
    auto ask = [&](Writer& request) { return ask_host(host, request); };
    Writer load, open, login;
    load.number(static_cast<std::uint64_t>(Call::Load)).number(VERSION).bytes(path.data(), path.size()).bytes("", 0);
    const host_protocol::Bytes loaded = ask(load);
    Reader loaded_reader(loaded);
    ASSERT_EQ(loaded_reader.number(), SAME_VERSION);
    ASSERT_EQ(loaded_reader.number(), 1u);
    open.number(static_cast<std::uint64_t>(Call::OpenSession)).number(1).number(CKF_SERIAL_SESSION);
    const host_protocol::Bytes opened = ask(open);
    Reader session(opened);
    ASSERT_EQ(session.number(), CKR_OK);
    login.number(static_cast<std::uint64_t>(Call::Login)).number(session.number()).number(CKU_USER);
    login.optional_bytes(g_secret.data(), g_secret.size());
    EXPECT_EQ(Reader(ask(login)).number(), CKR_PIN_INCORRECT);
  }
  g_scanning = false;

  EXPECT_EQ(answers, (std::vector<std::string>{R"({"error":"WRONG_PIN:-1","ok":false})", R"({"modules":1,"ok":true})",
                                              R"({"modules":1,"ok":true})", R"({"error":"WRONG_PIN:-1","ok":false})"}));
  EXPECT_EQ(g_blocks_with_secret.load(), 0);
  release_state(state);
}

// A PIN that grows character by character (as pinentry's data line is decoded) past the
// room a short string has inside its object leaves none of its digits there, nor in a
// block it outgrew; a copy and a moved one neither.
TEST(PinMemory, AGrowingPinLeavesNoDigitsBehind) {
  g_secret = "1234567890123456789";  // 19 digits: past any short-string room
  const std::string_view first_digits(g_secret.data(), 7);
  auto inside = [&](const platform::WipedString& text) {
    return memmem(&text, sizeof text, first_digits.data(), first_digits.size()) != nullptr;
  };
  g_scanning = true;
  {
    platform::WipedString pin;
    for (char digit : g_secret) pin.push_back(digit);
    EXPECT_EQ(std::string_view(pin), g_secret);
    EXPECT_FALSE(inside(pin));
    platform::WipedString copy(pin);
    EXPECT_FALSE(inside(copy));
    platform::WipedString moved(std::move(copy));
    EXPECT_FALSE(inside(moved));
    platform::WipedString short_one("1234567");
    EXPECT_FALSE(inside(short_one));
  }
  g_scanning = false;
  EXPECT_EQ(g_blocks_with_secret.exchange(0), 0);
}

// A module host that crashes inside C_Login, where the PIN is in its memory, leaves no dump
// of it where core dumps are on: neither the host nor the agent can be dumped.
TEST(PinMemory, ACrashInTheLoginLeavesNoDumpHoldingThePin) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer turns core dumps off in the processes it runs in";
#else
  std::ifstream pattern_file("/proc/sys/kernel/core_pattern");
  std::string pattern;
  std::getline(pattern_file, pattern);
  if (pattern.empty() || pattern.front() == '|' || pattern.front() == '/')
    GTEST_SKIP() << "core dumps go to " << pattern << ", out of this test's sight";
  g_secret = "pin-for-the-core-dump-check-0123456789";
  const std::string cert = der_with_serial("0e0f");
  const std::string print = thumbprint_of(hex_bytes(cert)).value();
  const std::string path = fake_module_path();
  json s = {{"slots", json::array({slot(1, token("T", "S", {certificate(cert), private_key()}))})}};
  s["crash"] = {"C_Login"};
  fake_folder().write_scenario(file_name_of(path), s);
  // Core dumps on, written where the host runs: a folder of this test's own.
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / "p11agent-core-check";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  const auto previous_folder = std::filesystem::current_path();
  std::filesystem::current_path(folder);
  rlimit previous_limit{};
  getrlimit(RLIMIT_CORE, &previous_limit);
  const rlimit unlimited{previous_limit.rlim_max, previous_limit.rlim_max};
  setrlimit(RLIMIT_CORE, &unlimited);
  use_module_hosts(ModuleHosting{host_path(), std::chrono::seconds(5)});
  {
    DaemonState state;
    state.module_table[path] = open_module(path).value();
    const std::string validate = json{{"cmd", "validate"}, {"thumbprint", print}, {"pin", g_secret}}.dump();
    EXPECT_EQ(handle_daemon_request(state, validate),
              error_response_text("C_Login: " + Pkcs11Error::of(Pkcs11Error::Kind::HostEnded).text()));
    release_state(state);
  }
  use_module_hosts(std::nullopt);
  setrlimit(RLIMIT_CORE, &previous_limit);
  std::filesystem::current_path(previous_folder);
  for (const auto& file : std::filesystem::directory_iterator(folder)) {
    std::ifstream in(file.path(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes.find(g_secret), std::string::npos) << file.path() << " holds the PIN";
  }
  std::filesystem::remove_all(folder);
#endif
}

}  // namespace
}  // namespace p11agent
