// The daemon's request handling over a module that answers arbitrarily: the first line of
// the input is the fake module's scenario, every further line a request.
#include <cstdint>
#include <memory>
#include <cstdlib>
#include <string>
#include <string_view>

#include "daemon/serve.h"
#include "held_fake_module.h"
#include "support/fake_token.h"
#include "text/utf8.h"

namespace {

// The user at the prompt: a wrong PIN, then the right one, then Cancel for every later
// prompt of the run (so a request that keeps asking ends); Sign for the first confirmation
// of a signature, Cancel for the others.
class FuzzUser final : public p11agent::platform::PinDialog {
 public:
  std::expected<void, p11agent::platform::PromptStop> confirm(const p11agent::platform::PinScreen&) override {
    if (confirmed_++ == 0) return {};
    return std::unexpected(p11agent::platform::PromptStop{p11agent::platform::PromptEnd::Cancelled, ""});
  }
  std::expected<p11agent::platform::WipedString, p11agent::platform::PromptStop> ask_pin(
      const p11agent::platform::PinScreen&) override {
    switch (asked_++) {
      case 0: return p11agent::platform::WipedString("0000");
      case 1: return p11agent::platform::WipedString("1234");
      default: return std::unexpected(p11agent::platform::PromptStop{p11agent::platform::PromptEnd::Cancelled, ""});
    }
  }
  std::expected<bool, p11agent::platform::PromptStop> show_during(const p11agent::platform::PinScreen&,
                                                                  const std::function<void()>& work) override {
    work();
    return false;
  }

 private:
  int asked_ = 0;
  int confirmed_ = 0;
};

// The user at the picker: the first row offered, then Cancel; Try again once where nothing
// can be chosen, then Cancel.
class FuzzChooser final : public p11agent::platform::CertPicker {
 public:
  std::expected<std::size_t, p11agent::platform::PromptStop> pick(const p11agent::platform::PickerScreen& screen) override {
    if (picked_++ == 0 && !screen.rows.empty()) return 0;
    return std::unexpected(p11agent::platform::PromptStop{p11agent::platform::PromptEnd::Cancelled, ""});
  }
  std::expected<void, p11agent::platform::PromptStop> nothing_to_choose(const p11agent::platform::PickerScreen&) override {
    if (retried_++ == 0) return {};
    return std::unexpected(p11agent::platform::PromptStop{p11agent::platform::PromptEnd::Cancelled, ""});
  }

 private:
  int picked_ = 0;
  int retried_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace p11agent;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::size_t first_line = input.find('\n');
  static const std::string path = testing_support::fake_module_path();
  start_fake_module_over(std::string(input.substr(0, first_line)));
  DaemonState state;
  if (auto module = open_module(path)) state.module_table[path] = *module;
  state.candidate_paths = {path};
  // Requests without a PIN are answered through the prompt: from a browser when the input's
  // length is odd, else when they ask for it.
  state.browser = size % 2 == 1;
  state.open_pin_dialog = [] { return std::make_unique<FuzzUser>(); };
  state.open_cert_picker = [] { return std::make_unique<FuzzChooser>(); };
  // The deployer's settings: a site held to the certificates its user chose with no listing
  // when the input's length is a multiple of three, allowed to list every one when of five.
  state.cert_access = cert_access(state.browser, size % 3 == 0, size % 5 == 0);
  // What signatures on held logins ask: the deployer's `pin` when the length is a multiple of
  // seven, else the mode's own (each in a browser, none in serve).
  state.policy = read_login_policy(state.browser, {size % 7 == 0 ? std::optional<std::string>("pin") : std::nullopt, {}, {}}).policy;
  std::string_view rest = first_line == std::string_view::npos ? std::string_view() : input.substr(first_line + 1);
  int requests = 0;
  while (!rest.empty() && requests++ < 16) {
    std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (!is_valid_utf8(line)) break;
    line = trim_white_space(line);
    if (line.empty()) continue;
    std::string answer = handle_daemon_request(state, line);
    if (answer.empty() || answer.find('\n') != std::string::npos || answer.find("\"ok\":") == std::string::npos)
      std::abort();
  }
  release_state(state);
  return 0;
}
