// The certificate picker on Linux: the desktop's dialog program, zenity's list (GNOME) or
// kdialog's radio list (KDE). No text of a certificate or token can be read as an option:
// zenity reads the list's cells from its standard input, and each of kdialog's entries
// starts with its number. Texts are escaped where the program reads markup.
#include "desktop/cert_picker.h"

#include <array>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>
#include <unistd.h>

#include "system/host_process.h"
#include "desktop/ui_text.h"

namespace p11agent::platform {

namespace {

constexpr const char* PICKER_OVERRIDE = "P11AGENT_CERT_PICKER";
constexpr const char* NO_PICKER = "no certificate picker found: install the zenity package (or kdialog on KDE)";
constexpr const char* NO_DESKTOP = "no desktop to show the certificate choice on (neither DISPLAY nor WAYLAND_DISPLAY is set)";
// The program's answer: a row number and a line end.
constexpr std::size_t MAX_ANSWER = 64;
// Past the picker's own timeout, the program is given this long to say so itself.
constexpr std::chrono::seconds TIMEOUT_MARGIN{5};

enum class Dialect { Zenity, Kdialog };

struct PickerProgram {
  std::string path;
  Dialect dialect;
};

bool is_set(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// The program in PATH; "" when none is there.
std::string in_path(std::string_view name) {
  const char* path = std::getenv("PATH");
  std::string_view folders = path != nullptr ? path : "/usr/bin:/bin";
  while (!folders.empty()) {
    const std::size_t end = folders.find(':');
    const std::string candidate = std::string(folders.substr(0, end)) + "/" + std::string(name);
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    folders = end == std::string_view::npos ? std::string_view() : folders.substr(end + 1);
  }
  return "";
}

Dialect dialect_of(const std::string& program) {
  return std::filesystem::path(program).filename().string().find("kdialog") != std::string::npos ? Dialect::Kdialog
                                                                                                   : Dialect::Zenity;
}

// The override (tests and deployments; it speaks as the program it is named after), else
// kdialog on KDE, else zenity, else kdialog.
std::expected<PickerProgram, PromptStop> picker_program() {
  if (is_set(PICKER_OVERRIDE)) {
    std::string chosen = std::getenv(PICKER_OVERRIDE);
    if (::access(chosen.c_str(), X_OK) != 0)
      return std::unexpected(PromptStop{PromptEnd::Unavailable, std::string(NO_PICKER) + " (" + chosen + ")"});
    return PickerProgram{chosen, dialect_of(chosen)};
  }
  const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
  const bool kde = desktop != nullptr && std::string_view(desktop).find("KDE") != std::string_view::npos;
  for (Dialect dialect : kde ? std::array{Dialect::Kdialog, Dialect::Zenity} : std::array{Dialect::Zenity, Dialect::Kdialog})
    if (std::string path = in_path(dialect == Dialect::Zenity ? "zenity" : "kdialog"); !path.empty())
      return PickerProgram{path, dialect};
  return std::unexpected(PromptStop{PromptEnd::Unavailable, NO_PICKER});
}

// Text the program reads as markup (zenity's Pango, kdialog's Qt rich text), shown as it is.
std::string markup_escaped(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else out += c;
  }
  return out;
}

std::string status_of(const PickerRow& row) { return row.unusable.empty() ? ui_text("Can be chosen") : row.unusable; }

std::vector<std::string> zenity_arguments(const PickerScreen& screen, const std::string& text, std::chrono::seconds left) {
  std::vector<std::string> arguments = {"--list", "--title=" + screen.title, "--text=" + markup_escaped(text),
                                        "--width=1200", "--height=420", "--timeout=" + std::to_string(left.count()),
                                        "--hide-column=1", "--print-column=1", "--ok-label=" + ui_text("Choose"),
                                        "--cancel-label=" + ui_text("Cancel")};
  arguments.push_back("--column=#");
  for (const char* column : {ui_message("Holder"), ui_message("Issued by"), ui_message("Valid from"), ui_message("Valid to"),
                             ui_message("Key"), ui_message("Token"), ui_message("Status")})
    arguments.push_back("--column=" + ui_text(column));
  return arguments;
}

// The list's cells, one a line, as zenity reads them from its standard input when its
// arguments hold none: no value becomes an option there. (Among the arguments, GLib keeps
// the "--" as a cell once any later argument starts with "-", and every cell moves by one.)
std::string zenity_cells(const PickerScreen& screen) {
  std::string cells;
  for (std::size_t i = 0; i < screen.rows.size(); ++i) {
    const PickerRow& row = screen.rows[i];
    for (const std::string& cell : {std::to_string(i), row.holder, row.issuer, row.valid_from, row.valid_to, row.key,
                                    row.token, status_of(row)})
      cells += cell + "\n";
  }
  return cells;
}

std::vector<std::string> kdialog_arguments(const PickerScreen& screen, const std::string& text) {
  std::string rich = "<qt>" + markup_escaped(text) + "</qt>";
  for (std::size_t at = 0; (at = rich.find('\n', at)) != std::string::npos;) rich.replace(at, 1, "<br>");
  std::vector<std::string> arguments = {"--title", screen.title, "--geometry", "1000x420", "--radiolist", rich, "--"};
  for (std::size_t i = 0; i < screen.rows.size(); ++i) {
    const PickerRow& row = screen.rows[i];
    // Numbered from 1 as a person counts: an entry never starts with "-".
    const std::string number = std::to_string(i + 1);
    const std::string status = status_of(row);
    arguments.insert(arguments.end(),
                     {std::to_string(i),
                      ui_text("{number}. {holder} | issued by {issuer} | valid {from} to {to} | {key} | token {token} | {status}",
                              {{"number", number}, {"holder", row.holder}, {"issuer", row.issuer}, {"from", row.valid_from},
                               {"to", row.valid_to}, {"key", row.key}, {"token", row.token}, {"status", status}}),
                      "off"});
  }
  return arguments;
}

// How a program that did not answer with a row ended: the user's Cancel or closing it (1),
// zenity's own timeout (5), or a failure, said with the status (a program that could not
// start, a crash, no usable display), which no user may take for their own cancel.
PromptStop stop_of(const PickerProgram& program, int status) {
  if (status == 1) return {PromptEnd::Cancelled, ""};
  if (status == 5 && program.dialect == Dialect::Zenity) return {PromptEnd::TimedOut, ""};
  const std::string how = status < 0 ? "signal " + std::to_string(-status) : "exit status " + std::to_string(status);
  return {PromptEnd::Unavailable, program.path + " ended with " + how + " before showing the list"};
}

// Zenity's question and kdialog's yes/no box: the text, Try again and Cancel.
std::vector<std::string> question_arguments(const PickerProgram& program, const PickerScreen& screen,
                                            std::chrono::seconds left) {
  if (program.dialect == Dialect::Zenity)
    return {"--question", "--title=" + screen.title, "--text=" + markup_escaped(screen.description),
            "--ok-label=" + ui_text("Try again"), "--cancel-label=" + ui_text("Cancel"), "--width=600",
            "--timeout=" + std::to_string(left.count())};
  return {"--title", screen.title, "--yes-label", ui_text("Try again"), "--no-label", ui_text("Cancel"), "--yesno",
          "<qt>" + markup_escaped(screen.description) + "</qt>"};
}

class DesktopPicker final : public CertPicker {
 public:
  std::string program() const override { return cert_picker_report().program; }
  std::expected<std::size_t, PromptStop> pick(const PickerScreen& screen) override {
    auto program = shown_program();
    if (!program) return std::unexpected(program.error());
    const Deadline until = std::chrono::steady_clock::now() + CERT_PICKER_TIMEOUT;
    std::string note;
    // A row that cannot be picked, or no row, shows the list again with a word of why.
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::seconds>(until - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::unexpected(PromptStop{PromptEnd::TimedOut, ""});
      const std::string text = note.empty() ? screen.description : screen.description + "\n\n" + note;
      const bool zenity = program->dialect == Dialect::Zenity;
      auto answer = run(*program, zenity ? zenity_arguments(screen, text, left) : kdialog_arguments(screen, text),
                        zenity ? zenity_cells(screen) : "", until);
      if (!answer) return std::unexpected(answer.error());
      auto row = row_number(*answer, screen.rows.size());
      if (!row) return std::unexpected(PromptStop{PromptEnd::Failed, program->path + " answered something other than a row"});
      if (*row == screen.rows.size()) {
        note = ui_text("Choose a certificate, or Cancel.");
      } else if (!screen.rows[*row].unusable.empty()) {
        note = ui_text("That certificate cannot be used ({reason}). Choose another, or Cancel.",
                       {{"reason", screen.rows[*row].unusable}});
      } else {
        return *row;
      }
    }
  }

  std::expected<void, PromptStop> nothing_to_choose(const PickerScreen& screen) override {
    auto program = shown_program();
    if (!program) return std::unexpected(program.error());
    const Deadline until = std::chrono::steady_clock::now() + CERT_PICKER_TIMEOUT;
    auto answer = run(*program, question_arguments(*program, screen, CERT_PICKER_TIMEOUT), "", until);
    if (!answer) return std::unexpected(answer.error());
    return {};
  }

 private:
  // The program, where there is a desktop to show it on.
  static std::expected<PickerProgram, PromptStop> shown_program() {
    auto program = picker_program();
    if (program && !is_set("DISPLAY") && !is_set("WAYLAND_DISPLAY"))
      return std::unexpected(PromptStop{PromptEnd::Unavailable, NO_DESKTOP});
    return program;
  }

  // Runs the program with INPUT on its standard input until it ends (its own timeout, or
  // `until`): what it printed when it ended with status 0.
  static std::expected<std::string, PromptStop> run(const PickerProgram& program,
                                                    const std::vector<std::string>& arguments, const std::string& input,
                                                    Deadline until) {
    auto process = HostProcess::start_program(program.path, arguments, std::chrono::milliseconds{500});
    if (!process) return std::unexpected(PromptStop{PromptEnd::Unavailable, "cannot start " + program.path});
    if (!input.empty()) (void)process->write_all(std::as_bytes(std::span(input)), until + TIMEOUT_MARGIN);
    process->close_input();
    auto answer = printed(*process, until + TIMEOUT_MARGIN, MAX_ANSWER);
    const std::optional<int> status = answer ? process->wait_end(until + TIMEOUT_MARGIN) : std::nullopt;
    if (!answer || !status) {
      if (std::chrono::steady_clock::now() >= until) return std::unexpected(PromptStop{PromptEnd::TimedOut, ""});
      return std::unexpected(PromptStop{PromptEnd::Failed, program.path + " printed more than an answer"});
    }
    if (*status != 0) return std::unexpected(stop_of(program, *status));
    return *answer;
  }

  // The row printed ("3\n"); rows.size() for OK with no row chosen ("\n" or nothing);
  // nullopt for anything else.
  static std::optional<std::size_t> row_number(std::string_view answer, std::size_t rows) {
    if (answer.ends_with('\n')) answer.remove_suffix(1);
    if (answer.empty()) return rows;
    if (answer.size() > 6) return std::nullopt;
    std::size_t row = 0;
    for (char c : answer) {
      if (c < '0' || c > '9') return std::nullopt;
      row = row * 10 + static_cast<std::size_t>(c - '0');
    }
    return row < rows ? std::optional(row) : std::nullopt;
  }
};

}  // namespace

std::unique_ptr<CertPicker> system_cert_picker() { return std::make_unique<DesktopPicker>(); }





PromptReport cert_picker_report() {
  auto program = picker_program();
  if (!program) return {"", program.error().detail};
  return {program->path, ""};
}

}  // namespace p11agent::platform
