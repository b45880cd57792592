// The agent's reading of a module host's answers: after a valid handshake (the module
// loaded and initialised), the input's first byte picks what the agent does with the
// module (list its certificates, read its tokens' mechanisms, log in and sign, where the
// host sends answers ahead, or watch its tokens), and the rest is every byte the host answers with. A host
// owns what its module does, so any bytes may come; nothing may crash, read or write past
// a buffer, or make the agent allocate past its bounds (-rss_limit_mb).
//
// With P11AGENT_RECORD_SEEDS=<folder>, the target writes its seeds there instead: one per
// kind of work, the answers of a real host (the host's side in this process, over the
// test module) to what the agent asked.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <span>
#include <string>

#include "held_fake_module.h"
#include "sign/login.h"
#include "sign/signing.h"
#include "support/fake_token.h"
#include "pkcs11/host_protocol.h"
#include "token/mechanisms.h"
#include "token/module.h"
#include "token/module_host.h"
#include "token/slot.h"
#include "token/token_certs.h"
#include "token/token_watch.h"

namespace {

using p11agent::host_protocol::Bytes;
using p11agent::host_protocol::marked_answer;
using p11agent::host_protocol::Reader;
using p11agent::host_protocol::Writer;
using p11agent::platform::Deadline;
using p11agent::platform::Transfer;

// Answers served from bytes held; a read past them finds the host gone.
class ServedLink : public p11agent::platform::HostLink {
 public:
  Transfer read_exact(std::span<std::byte> bytes, Deadline, std::chrono::microseconds) override {
    if (pending_.size() - at_ < bytes.size()) return Transfer::Ended;
    std::copy_n(pending_.begin() + static_cast<std::ptrdiff_t>(at_), bytes.size(), bytes.begin());
    at_ += bytes.size();
    return Transfer::Done;
  }
  void end() override { ended_ = true; }

 protected:
  void serve(std::span<const std::byte> bytes) { pending_.insert(pending_.end(), bytes.begin(), bytes.end()); }
  bool ended_ = false;

 private:
  Bytes pending_;
  std::size_t at_ = 0;
};

// What a real host answers to the load and C_Initialize.
Bytes handshake() {
  Writer load = marked_answer();
  load.number(p11agent::host_protocol::SAME_VERSION);
  load.number(1).number(0).number(CKR_OK).number(2).number(40).number(0);  // loaded, version 2.40, no NULL entry
  Writer initialize = marked_answer();
  initialize.number(CKR_OK);
  Bytes both = load.frame();
  both.insert(both.end(), initialize.frame().begin(), initialize.frame().end());
  return both;
}

// The fuzzer's host: the handshake, then the input.
class FuzzedHost final : public ServedLink {
 public:
  explicit FuzzedHost(std::span<const std::byte> answers) {
    serve(handshake());
    serve(answers);
  }
  Transfer write_all(std::span<const std::byte>, Deadline) override { return ended_ ? Transfer::Ended : Transfer::Done; }
};

// A real host's side in this process: each request the agent writes is answered by the
// host's own code over the test module, and what it answers after the handshake is kept.
class RecordingHost final : public ServedLink {
 public:
  explicit RecordingHost(Bytes& recorded) : recorded_(recorded) {}
  Transfer write_all(std::span<const std::byte> frame, Deadline) override {
    Reader request(frame.subspan(4));
    Writer answer = marked_answer();
    if (ended_ || !server_.answer(request, answer)) return Transfer::Ended;
    take(answer);
    for (Writer following = marked_answer(); server_.answer_following(following); following = marked_answer())
      take(following);
    return Transfer::Done;
  }

 private:
  void take(Writer& answer) {
    serve(answer.frame());
    if (++answers_ > 2) recorded_.insert(recorded_.end(), answer.frame().begin(), answer.frame().end());
  }
  p11agent::ModuleHostServer server_;
  Bytes& recorded_;
  int answers_ = 0;
};

// The agent's work on the module, as its commands do it.
enum class Work : std::uint8_t { List, Mechanisms, Sign, Watch, Count };

void list(const p11agent::ModulePtr& module) { (void)p11agent::list_module_certs(module, module->path()); }

void read_mechanisms(const p11agent::ModulePtr& module) {
  auto slots = p11agent::slots_with_token(*module);
  if (!slots) return;
  for (CK_SLOT_ID slot : *slots) {
    (void)p11agent::token_identity(*module, slot);
    (void)p11agent::read_mechanisms(*module, slot);
  }
}

// The watch between requests: twice, the second answer in full only on a change.
void watch(const p11agent::ModulePtr& module) {
  for (int i = 0; i < 2; ++i)
    if (auto tokens = p11agent::present_tokens_if_changed(*module); tokens && *tokens)
      for (const auto& token : **tokens) (void)p11agent::listing_identity(token);
}

void sign(const p11agent::ModulePtr& module) {
  auto session = p11agent::open_signing_session(module, 1);
  if (!session) return;
  p11agent::PinCopy pin("1234");
  if (!p11agent::login_user(*session, pin)) return;
  auto key = p11agent::find_private_key(*session, p11agent::Bytes{1});
  if (!key) return;
  auto use = p11agent::choose_mechanism(*session, *key);
  if (!use) return;
  const std::array<std::uint8_t, 32> digest{};
  // Twice: the second signature is asked for after the first one's answers were taken.
  for (int i = 0; i < 2; ++i) (void)p11agent::sign_data(*session, *use, *key, digest, std::nullopt);
}

void work_on(std::unique_ptr<p11agent::platform::HostLink> link, Work work) {
  const std::string path = testing_support::fake_module_path();
  const auto deadline = std::chrono::seconds(1);
  auto host = p11agent::ModuleHost::start_on(std::move(link), path, "", deadline,
                                             std::chrono::steady_clock::now() + deadline);
  if (!host) return;
  auto module = std::make_shared<p11agent::Pkcs11Module>(path, std::move(*host));
  if (!module->initialize()) return;
  switch (work) {
    case Work::List: list(module); break;
    case Work::Mechanisms: read_mechanisms(module); break;
    case Work::Watch: watch(module); break;
    default: sign(module); break;
  }
}

// The test module's token for the recorded exchanges: an RSA and an EC certificate with
// their keys, PIN 1234.
void record_seeds(const std::string& folder) {
  using namespace testing_support;
  const json scenario = {{"slots", json::array({slot(1, token("Token", "S1", {certificate(der_with_serial("0a0b"), "01"),
                                                                              private_key("01"),
                                                                              certificate(der_with_serial("0c0d"), "02"),
                                                                              private_key("02", CKK_EC)}))})}};
  for (auto work : {Work::List, Work::Mechanisms, Work::Sign, Work::Watch}) {
    start_fake_module_over(scenario.dump());
    Bytes recorded{static_cast<std::byte>(work)};
    work_on(std::make_unique<RecordingHost>(recorded), work);
    std::ofstream(folder + "/recorded-" + std::to_string(static_cast<int>(work)), std::ios::binary)
        .write(reinterpret_cast<const char*>(recorded.data()), static_cast<std::streamsize>(recorded.size()));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The hosts' call deadline; no host process is started.
  p11agent::use_module_hosts(p11agent::ModuleHosting{"", std::chrono::seconds(1)});
  if (const char* folder = std::getenv("P11AGENT_RECORD_SEEDS")) {
    record_seeds(folder);
    std::exit(0);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const auto work = static_cast<Work>(data[0] % static_cast<std::uint8_t>(Work::Count));
  work_on(std::make_unique<FuzzedHost>(std::span(reinterpret_cast<const std::byte*>(data) + 1, size - 1)), work);
  return 0;
}
