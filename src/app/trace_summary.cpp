#include "app/trace_summary.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <vector>

#include "system/process.h"
#include "trace/trace.h"
#include "text/shown_text.h"

namespace p11agent {

namespace {

using nlohmann::json;

// A rotated trace holds at most this much; a larger file is read that far.
constexpr std::uintmax_t MOST_READ = 2 * platform::TRACE_MOST_BYTES;

std::string member(const json& line, const char* key) {
  const auto found = line.find(key);
  if (found == line.end()) return {};
  return shown_text(found->is_string() ? found->get<std::string>() : found->dump());
}

bool is_trace_line(const json& line) {
  return line.is_object() && line.contains("t") && line["t"].is_string() && line.contains("pid") &&
         line["pid"].is_number_integer() && line.contains("event") && line["event"].is_string();
}

// An answer's line says whether it succeeded as a boolean; one that does not is unreadable.
bool is_readable_answer(const json& line) {
  const auto ok = line.find("ok");
  return line["event"] != "answer" || (ok != line.end() && ok->is_boolean());
}

// "17:31:48.123" of "2026-12-10T17:31:48.123Z".
std::string clock_of(const json& line) {
  const std::string t = member(line, "t");
  const auto at = t.find('T');
  return at == std::string::npos ? t : t.substr(at + 1, 12);
}

std::string milliseconds_of(const json& line) {
  const auto us = line.find("us");
  if (us == line.end() || !us->is_number()) return "?";
  const double micro = us->get<double>();
  char text[32];
  if (micro < 1000) std::snprintf(text, sizeof text, "%.0f us", micro);
  else std::snprintf(text, sizeof text, "%.1f ms", micro / 1000.0);
  return text;
}

// What went wrong while a request was answered, as its lines under the answer say it.
std::optional<std::string> trouble_of(const json& line) {
  const std::string event = member(line, "event");
  if (event == "call" && member(line, "rv") != "CKR_OK") {
    std::string where = member(line, "module");
    if (line.contains("slot")) where += " slot " + member(line, "slot");
    if (line.contains("session")) where += " session " + member(line, "session");
    return member(line, "fn") + " on " + where + ": " + member(line, "rv") + " after " +
           milliseconds_of(line);
  }
  if (event == "host" && (member(line, "what") == "deadline" || member(line, "what") == "ended" ||
                          member(line, "what") == "not_started" || member(line, "what") == "not_loaded")) {
    std::string text = "host of " + member(line, "module") + " " + member(line, "what");
    if (line.contains("call")) text += ": " + member(line, "call");
    if (line.contains("during")) text += " during " + member(line, "during");
    if (line.contains("error")) text += ": " + member(line, "error");
    return text;
  }
  if ((event == "prompt" || event == "picker") && member(line, "what") == "ended") {
    const std::string end = member(line, "end");
    if (end == "entered" || end == "confirmed" || end == "picked" || end == "closed") return std::nullopt;
    std::string text = event + " (" + member(line, "asks") + ") " + end;
    if (line.contains("detail")) text += ": " + member(line, "detail");
    return text;
  }
  return std::nullopt;
}

struct ProcessLines {
  std::string request;              // the request being answered; "" between requests
  std::vector<std::string> trouble;  // since the last answer
};

void say_request_answered(std::string& out, const json& line, ProcessLines& process) {
  const bool ok = line["ok"].get<bool>();
  out += clock_of(line) + "  [" + member(line, "pid") + "] " +
         (process.request.empty() ? std::string("(a request that did not read as one)") : process.request) + " -> " +
         (ok ? "ok" : "error: " + member(line, "error")) + " (" + milliseconds_of(line) + ")\n";
  if (!ok)
    for (const std::string& trouble : process.trouble) out += "      " + trouble + "\n";
  process = {};
}

std::string request_text(const json& line) {
  std::string text = member(line, "cmd");
  if (line.contains("origin")) text += " from " + member(line, "origin");
  if (line.contains("thumbprint")) text += " for " + member(line, "thumbprint");
  return text;
}

// The summary of a trace's text; nullopt when it is not a trace (its first line is not one).
std::optional<std::string> summarize_trace(std::string_view text) {
  std::map<std::string, ProcessLines> processes;
  std::string out;
  std::size_t skipped = 0;
  bool first = true;
  std::istringstream lines{std::string(text)};
  for (std::string raw; std::getline(lines, raw);) {
    if (raw.empty()) continue;
    const json line = json::parse(raw, nullptr, false);
    if (!is_trace_line(line)) {
      if (first) return std::nullopt;
      ++skipped;
      continue;
    }
    if (!is_readable_answer(line)) {
      ++skipped;
      continue;
    }
    first = false;
    ProcessLines& process = processes[member(line, "pid")];
    const std::string event = member(line, "event");
    const std::string head = clock_of(line) + "  [" + member(line, "pid") + "] ";
    if (event == "start") {
      out += head + "p11agent " + member(line, "version") + " (" + member(line, "platform") + ") started: " +
             member(line, "mode") + "; " + member(line, "settings") + "\n";
    } else if (event == "request") {
      // Trouble before the first request (while the modules loaded) is told on its own.
      for (const std::string& trouble : process.trouble) out += head + "before this request: " + trouble + "\n";
      process = {request_text(line), {}};
    } else if (event == "answer") {
      say_request_answered(out, line, process);
    } else if (event == "watch") {
      out += head + "token '" + member(line, "label") + "' " + member(line, "what") + " (" + member(line, "module") +
             " slot " + member(line, "slot") + ")\n";
    } else if (event == "end") {
      out += head + "ended with status " + member(line, "status") + "\n";
    } else if (auto trouble = trouble_of(line)) {
      process.trouble.push_back(*trouble);
    }
  }
  if (first) return std::nullopt;
  if (skipped > 0) out += std::to_string(skipped) + " lines that are not a trace's were left out\n";
  return out;
}

}  // namespace

int run_trace_summary(const std::string& file) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path path(std::u8string(file.begin(), file.end()));
  if (!fs::is_regular_file(path, error)) {
    (void)platform::write_stdout(shown_text(file) + " is not a file\n");
    return 1;
  }
  std::ifstream in(path, std::ios::binary);
  std::string text(static_cast<std::size_t>(std::min(fs::file_size(path, error), MOST_READ)), '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  auto summary = summarize_trace(text);
  if (!summary) {
    (void)platform::write_stdout(shown_text(file) + " is not a p11agent trace\n");
    return 1;
  }
  return platform::write_stdout(*summary) ? 0 : 1;
}

}  // namespace p11agent
