// The PIN prompt on Linux: the desktop's pinentry program (GnuPG's), spoken to over its
// Assuan protocol on its standard input and output.
#include "desktop/pin_dialog.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <unistd.h>
#include <vector>

#include "system/host_process.h"
#include "desktop/ui_language.h"
#include "desktop/ui_text.h"

namespace p11agent::platform {

namespace {

constexpr const char* PINENTRY_OVERRIDE = "P11AGENT_PINENTRY";
// GnuPG's own default, which Debian's alternatives point at the desktop's pinentry.
constexpr const char* DEFAULT_PINENTRY = "/usr/bin/pinentry";
// What to install: the programs that can work here (a terminal pinentry only where there
// is a terminal).
constexpr const char* NO_PINENTRY = "no pinentry program found: install the pinentry-gnome3 package (or pinentry-gtk2, pinentry-qt";
constexpr const char* OR_CURSES = " or pinentry-curses)";
constexpr const char* NEEDS_TERMINAL =
    " needs a terminal, and p11agent has none here: install pinentry-gnome3, pinentry-gtk2 or pinentry-qt and name "
    "it as pinentry-program in gpg-agent.conf";

// Assuan's lines hold at most this many bytes, the newline included; pinentry ends the
// connection on a longer one.
constexpr std::size_t MAX_LINE = 1000;
// Answer lines longer than this are not Assuan's.
constexpr std::size_t MAX_ANSWER_LINE = 4096;
// Past the prompt's own timeout, the program is given this long to say so itself.
constexpr std::chrono::seconds TIMEOUT_MARGIN{5};

// libgpg-error's codes, in the low 16 bits of an ERR answer.
constexpr unsigned long GPG_ERR_TIMEOUT = 62;
constexpr unsigned long GPG_ERR_CANCELED = 99;
constexpr unsigned long GPG_ERR_FULLY_CANCELED = 198;
constexpr unsigned long GPG_ERR_ENOTTY = 32870;  // a terminal pinentry without a terminal

// The pinentry programs that draw on a terminal and nowhere else.
constexpr std::string_view TERMINAL_PINENTRIES[] = {"pinentry-curses", "pinentry-tty"};

// The terminal this process was started from, for a terminal pinentry: the one its
// standard streams lead to, else its controlling terminal; "" where it has none (a
// browser starts its hosts without one).
std::string own_terminal() {
  for (int fd : {0, 2, 1})
    if (::isatty(fd) != 0)
      if (const char* name = ::ttyname(fd)) return name;
  const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0) return "";
  ::close(tty);
  return "/dev/tty";
}

// Whether the program (through the links that choose it) is one that needs a terminal.
bool is_terminal_pinentry(const std::string& program) {
  std::error_code error;
  const std::string name = std::filesystem::canonical(program, error).filename().string();
  return std::ranges::find(TERMINAL_PINENTRIES, error ? std::filesystem::path(program).filename().string() : name) !=
         std::end(TERMINAL_PINENTRIES);
}

// The pinentry GnuPG would start: gpg-agent.conf's "pinentry-program", else its default.
std::string configured_pinentry() {
  std::string folder;
  if (const char* home = std::getenv("GNUPGHOME"); home != nullptr && *home != '\0')
    folder = home;
  else if (const char* user = std::getenv("HOME"); user != nullptr && *user != '\0')
    folder = std::string(user) + "/.gnupg";
  if (!folder.empty()) {
    std::ifstream conf(folder + "/gpg-agent.conf");
    for (std::string line; std::getline(conf, line);) {
      constexpr std::string_view KEY = "pinentry-program";
      const std::size_t start = line.find_first_not_of(" \t");
      if (start == std::string::npos || line.compare(start, KEY.size(), KEY) != 0) continue;
      const std::size_t value = line.find_first_not_of(" \t", start + KEY.size());
      if (value != std::string::npos && value != start + KEY.size()) return line.substr(value);
    }
  }
  return DEFAULT_PINENTRY;
}

// The program to start: the override (tests and deployments), else GnuPG's choice.
std::string pinentry_program() {
  if (const char* chosen = std::getenv(PINENTRY_OVERRIDE); chosen != nullptr && *chosen != '\0') return chosen;
  return configured_pinentry();
}

// Assuan's escaping of a command's text: '%' and control characters, CR and LF among them
// (pinentry shows "%0A" as a new line).
std::string escaped(std::string_view text);

constexpr std::string_view ELLIPSIS = "\xE2\x80\xA6";

// The line cut to `bytes` bytes at a character, ending in "…".
std::string cut_line(std::string_view line, std::size_t bytes) {
  if (line.ends_with(ELLIPSIS)) line.remove_suffix(ELLIPSIS.size());
  std::size_t end = std::min(line.size(), bytes > ELLIPSIS.size() ? bytes - ELLIPSIS.size() : 0);
  while (end > 0 && (static_cast<unsigned char>(line[end]) & 0xC0) == 0x80) --end;
  return std::string(line.substr(0, end)) + std::string(ELLIPSIS);
}

// A command with its text escaped, within an Assuan line: where the text would pass it
// (escaping counted), its longest lines but the first, which names who asks, are cut
// until it fits. The prompt's own texts are bounded so that this is rare.
std::string command_line(std::string_view command, std::string_view text) {
  const std::size_t room = MAX_LINE - 1 - command.size() - 1;
  std::vector<std::string> lines;
  for (std::size_t start = 0;;) {
    const std::size_t end = text.find('\n', start);
    lines.emplace_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  auto joined = [&] {
    std::string all = lines.front();
    for (std::size_t i = 1; i < lines.size(); ++i) all += "\n" + lines[i];
    return escaped(all);
  };
  for (std::string line = joined(); line.size() > room; line = joined()) {
    auto longest = std::max_element(lines.begin() + (lines.size() > 1 ? 1 : 0), lines.end(),
                                    [](const std::string& a, const std::string& b) { return a.size() < b.size(); });
    const std::size_t excess = line.size() - room;
    // Each byte cut takes at most three escaped ones with it.
    const std::size_t keep = longest->size() > excess / 3 + 4 ? longest->size() - excess / 3 - 1 : 0;
    if (keep == 0 && longest->size() <= ELLIPSIS.size()) return std::string(command) + " " + line.substr(0, room);
    *longest = cut_line(*longest, keep);
  }
  return std::string(command) + " " + joined();
}

std::string escaped(std::string_view text) {
  static constexpr char HEX[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '%' || byte < 0x20) {
      out += '%';
      out += HEX[byte >> 4];
      out += HEX[byte & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Appends a D line's data, unescaped, to the secret.
bool append_unescaped(std::string_view data, WipedString& out) {
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (data[i] != '%') {
      out.push_back(data[i]);
      continue;
    }
    if (i + 2 >= data.size()) return false;
    const int high = hex_value(data[i + 1]);
    const int low = hex_value(data[i + 2]);
    if (high < 0 || low < 0) return false;
    out.push_back(static_cast<char>(high << 4 | low));
    i += 2;
  }
  return true;
}

// One pinentry, started for one prompt and ended with it.
class Pinentry {
 public:
  static std::expected<Pinentry, PromptStop> start() {
    const std::string program = pinentry_program();
    std::string terminal = own_terminal();
    if (::access(program.c_str(), X_OK) != 0)
      return std::unexpected(PromptStop{PromptEnd::Unavailable, NO_PINENTRY + std::string(terminal.empty() ? ")" : OR_CURSES) +
                                                                    " (" + program + ")"});
    if (terminal.empty() && is_terminal_pinentry(program))
      return std::unexpected(PromptStop{PromptEnd::Unavailable, program + NEEDS_TERMINAL});
    auto process = HostProcess::start_program(program, {}, std::chrono::milliseconds{500});
    if (!process) return std::unexpected(PromptStop{PromptEnd::Unavailable, "cannot start " + program});
    Pinentry pinentry(std::move(process), program, std::move(terminal));
    if (auto greeting = pinentry.answer(); !greeting) return std::unexpected(greeting.error());
    return pinentry;
  }

  // Sends the screen's texts, for a PIN or for a confirmation (Sign and Cancel); the
  // prompt's time counts from here.
  enum class Asks { Pin, Confirmation };
  std::expected<void, PromptStop> set_screen(const PinScreen& screen, Asks asks = Asks::Pin) {
    started_ = std::chrono::steady_clock::now();
    const std::string timeout = std::to_string(PIN_PROMPT_TIMEOUT.count());
    std::vector<std::string> commands = {
        command_line("SETTITLE", screen.title),
        command_line("SETDESC", screen.description),
        command_line("SETOK", asks == Asks::Confirmation ? ui_text("Sign")
                              : screen.on_reader         ? ui_text("Cancel")
                                                         : ui_text("OK")),
        command_line("SETCANCEL", ui_text("Cancel")),
        "SETTIMEOUT " + timeout,
    };
    if (asks == Asks::Pin) commands.insert(commands.begin() + 2, command_line("SETPROMPT", ui_text("PIN:")));
    // The pinentry's own texts and its reading of the keyboard follow the user's locale.
    for (const auto& [option, category] : {std::pair{"lc-ctype", "LC_CTYPE"}, std::pair{"lc-messages", "LC_MESSAGES"}})
      if (const std::string locale = locale_for(category); !locale.empty())
        commands.insert(commands.begin(), "OPTION " + std::string(option) + "=" + escaped(locale));
    // A terminal pinentry draws on the agent's terminal; a graphical one falls back to it
    // where the desktop has gone.
    if (!terminal_.empty()) {
      const char* type = std::getenv("TERM");
      commands.insert(commands.begin(), {"OPTION ttyname=" + escaped(terminal_),
                                         "OPTION ttytype=" + escaped(type != nullptr && *type != '\0' ? type : "vt100")});
    }
    if (!screen.error.empty()) commands.push_back(command_line("SETERROR", screen.error));
    for (const std::string& command : commands)
      if (auto done = command_answered(command); !done) return done;
    return {};
  }

  // The PIN typed; `still_wanted` is asked while the user has not answered.
  std::expected<WipedString, PromptStop> get_pin(const std::function<bool()>& still_wanted) {
    WipedString pin;
    if (auto answered = user_answer("GETPIN", still_wanted, &pin); !answered) return std::unexpected(answered.error());
    return pin;
  }

  // Whether the user pressed the OK button (Sign) of the screen: pinentry answers OK, and
  // ERR for Cancel or a closed window.
  std::expected<void, PromptStop> get_confirmation(const std::function<bool()>& still_wanted) {
    return user_answer("CONFIRM", still_wanted);
  }

  // Shows the screen's message; its only button is Cancel, pressed when it answers.
  bool show_message() { return send("MESSAGE"); }
  // Waits for the answer's first byte (kept for the answer's reading), asking `still_wanted`
  // about once a second meanwhile; false when it is no longer wanted or nothing came.
  bool answer_begun(const std::function<bool()>& still_wanted) {
    for (;;) {
      const auto step = std::min(until(), std::chrono::steady_clock::now() + WANTED_CHECK_INTERVAL);
      std::byte first;
      const Transfer got = process_->read_exact(std::span(&first, 1), step, std::chrono::microseconds{0});
      if (got == Transfer::Done) {
        begun_ = first;
        return true;
      }
      if (got != Transfer::TimedOut || std::chrono::steady_clock::now() >= until()) return false;
      if (!still_wanted()) {
        withdrawn_ = true;
        return false;
      }
    }
  }
  bool answered_yet() {
    std::byte first;
    return process_->read_exact(std::span(&first, 1), std::chrono::steady_clock::now(),
                                std::chrono::microseconds{0}) == Transfer::Done;
  }

 private:
  Pinentry(std::unique_ptr<HostProcess> process, std::string program, std::string terminal)
      : process_(std::move(process)), program_(std::move(program)), terminal_(std::move(terminal)) {}

  bool send(const std::string& command) {
    const std::string line = command + "\n";
    return process_->write_all(std::as_bytes(std::span(line)), until()) == Transfer::Done;
  }

  // A command the user answers: its answer waited for while `still_wanted` says so.
  std::expected<void, PromptStop> user_answer(const char* command, const std::function<bool()>& still_wanted,
                                              WipedString* data = nullptr) {
    if (!send(command)) return std::unexpected(broke_off());
    if (!answer_begun(still_wanted)) return std::unexpected(withdrawn_ ? PromptStop{PromptEnd::Withdrawn, ""} : broke_off());
    return answer(data);
  }

  std::expected<void, PromptStop> command_answered(const std::string& command) {
    if (!send(command)) return std::unexpected(broke_off());
    return answer();
  }

  // The program's answer: OK, or ERR with a code; D lines go to `data` (wiped lines only).
  std::expected<void, PromptStop> answer(WipedString* data = nullptr) {
    for (;;) {
      WipedString line;
      if (!read_line(line)) return std::unexpected(broke_off());
      const std::string_view text(line);
      if (text == "OK" || text.starts_with("OK ")) return {};
      if (text.starts_with("D ") && data != nullptr) {
        if (!append_unescaped(text.substr(2), *data)) return std::unexpected(broke_off());
        continue;
      }
      if (text.starts_with("ERR ")) return std::unexpected(refusal(text.substr(4)));
      // Status ("S ") and comment ("#") lines, and INQUIRE that nothing here asks for.
      if (text.starts_with("INQUIRE")) return std::unexpected(broke_off());
    }
  }

  PromptStop refusal(std::string_view rest) const {
    const unsigned long code = std::strtoul(std::string(rest.substr(0, rest.find(' '))).c_str(), nullptr, 10) & 0xFFFF;
    if (code == GPG_ERR_TIMEOUT) return {PromptEnd::TimedOut, ""};
    if (code == GPG_ERR_CANCELED || code == GPG_ERR_FULLY_CANCELED) return {PromptEnd::Cancelled, ""};
    // pinentry-gnome3 without a session bus, and any other that fell back to a terminal.
    if (code == GPG_ERR_ENOTTY && terminal_.empty()) return {PromptEnd::Unavailable, program_ + NEEDS_TERMINAL};
    return {PromptEnd::Failed, "pinentry answered ERR " + std::string(rest)};
  }

  PromptStop broke_off() const {
    // The program's own timeout comes first; past it, the program has stopped answering.
    if (std::chrono::steady_clock::now() >= until()) return {PromptEnd::TimedOut, ""};
    return {PromptEnd::Failed, "pinentry ended without an answer"};
  }

  bool read_line(WipedString& line) {
    for (;;) {
      std::byte next;
      if (begun_) {
        next = *std::exchange(begun_, std::nullopt);
      } else if (process_->read_exact(std::span(&next, 1), until(), std::chrono::microseconds{0}) != Transfer::Done)
        return false;
      if (next == std::byte{'\n'}) return true;
      if (line.size() >= MAX_ANSWER_LINE) return false;
      line.push_back(static_cast<char>(next));
    }
  }

  Deadline until() const { return started_ + PIN_PROMPT_TIMEOUT + TIMEOUT_MARGIN; }

  std::unique_ptr<HostProcess> process_;
  std::string program_;
  std::string terminal_;  // "" where the agent has none
  Deadline started_ = std::chrono::steady_clock::now();
  std::optional<std::byte> begun_;  // an answer's first byte, read while waiting for it
  bool withdrawn_ = false;
};

// One pinentry for the prompts of a request: asked again after a wrong PIN, the same
// window asks with the error shown.
class PinentryDialog final : public PinDialog {
 public:
  std::string program() const override { return pin_prompt_report().program; }
  std::expected<WipedString, PromptStop> ask_pin(const PinScreen& screen) override {
    if (auto shown = show(screen, Pinentry::Asks::Pin); !shown) return std::unexpected(shown.error());
    auto pin = running_->get_pin([this] { return still_wanted(); });
    if (!pin) running_.reset();
    return pin;
  }

  std::expected<void, PromptStop> confirm(const PinScreen& screen) override {
    if (auto shown = show(screen, Pinentry::Asks::Confirmation); !shown) return shown;
    auto confirmed = running_->get_confirmation([this] { return still_wanted(); });
    if (!confirmed) running_.reset();
    return confirmed;
  }

  std::expected<bool, PromptStop> show_during(const PinScreen& screen, const std::function<void()>& work) override {
    auto pinentry = Pinentry::start();
    if (!pinentry) return std::unexpected(pinentry.error());
    if (auto set = pinentry->set_screen(screen); !set) return std::unexpected(set.error());
    const bool shown = pinentry->show_message();
    work();
    return shown && pinentry->answered_yet();
  }

 private:
  // The screen on the running pinentry, started first where none runs.
  std::expected<void, PromptStop> show(const PinScreen& screen, Pinentry::Asks asks) {
    if (!running_) {
      auto started = Pinentry::start();
      if (!started) return std::unexpected(started.error());
      running_.emplace(std::move(*started));
    }
    auto set = running_->set_screen(screen, asks);
    if (!set) running_.reset();
    return set;
  }

  std::optional<Pinentry> running_;
};

}  // namespace

std::unique_ptr<PinDialog> system_pin_dialog() { return std::make_unique<PinentryDialog>(); }



PromptReport pin_prompt_report() {
  const std::string program = pinentry_program();
  if (::access(program.c_str(), X_OK) != 0) return {program, NO_PINENTRY + std::string(OR_CURSES) + " (" + program + ")"};
  if (is_terminal_pinentry(program)) return {program, program + NEEDS_TERMINAL, true};
  return {program, ""};
}

void set_prompt_owner(std::uint64_t) {}  // pinentry places its own window

}  // namespace p11agent::platform
