// The module host's reading of the agent's requests: once it has loaded the test module as
// the agent has it loaded, each input is a series of requests (a two-byte length, then that
// many bytes) that the host answers, with any answer it sends ahead. A load is left out:
// the agent names the module once, and the fuzzer must not name libraries. Nothing may
// crash, read past a request or make the host allocate past its bounds (-rss_limit_mb).
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "held_fake_module.h"
#include "support/fake_token.h"
#include "pkcs11/host_protocol.h"
#include "token/module_host.h"

namespace {

using p11agent::host_protocol::Call;
using p11agent::host_protocol::Reader;
using p11agent::host_protocol::Writer;

// A token with a certificate and its key, PIN 1234, started over for each input.
constexpr const char* SCENARIO =
    R"({"slots":[{"id":1,"token":{"label":"T","serial":"S","pin":"1234","objects":[)"
    R"({"class":"certificate","value_hex":"3003020101","id_hex":"01"},)"
    R"({"class":"private_key","key_type":3,"id_hex":"01"}]}}]})";

// The request's payload: the frame without its length.
std::span<const std::byte> payload(Writer& request) { return std::span(request.frame()).subspan(4); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = testing_support::fake_module_path();
  start_fake_module_over(SCENARIO);
  p11agent::ModuleHostServer host;
  Writer load;
  load.number(static_cast<std::uint64_t>(Call::Load)).number(p11agent::host_protocol::VERSION);
  load.bytes(path.data(), path.size()).bytes("", 0);
  Reader load_request(payload(load));
  Writer loaded;
  if (!host.answer(load_request, loaded)) std::abort();
  // The agent's next request: the module initialised, as every later call finds it.
  Writer initialize;
  initialize.number(static_cast<std::uint64_t>(Call::Initialize)).number(0).number(0);
  Reader initialize_request(payload(initialize));
  Writer initialized;
  if (!host.answer(initialize_request, initialized)) std::abort();
  std::span<const std::byte> rest(reinterpret_cast<const std::byte*>(data), size);
  while (rest.size() >= 2) {
    const std::size_t length = std::min<std::size_t>(
        static_cast<std::size_t>(rest[0]) | static_cast<std::size_t>(rest[1]) << 8, rest.size() - 2);
    const std::span<const std::byte> request = rest.subspan(2, length);
    rest = rest.subspan(2 + length);
    Reader call(request);
    if (call.number() == static_cast<std::uint64_t>(Call::Load)) continue;
    Reader reader(request);
    Writer answer;
    if (!host.answer(reader, answer)) break;  // the host ends here
    for (Writer following; host.answer_following(following); following = Writer()) {
    }
  }
  // Whatever the requests left open, the module ends as the agent ends it.
  Writer finalize;
  finalize.number(static_cast<std::uint64_t>(Call::Finalize));
  Reader finalize_request(payload(finalize));
  Writer finalized;
  (void)host.answer(finalize_request, finalized);
  return 0;
}
