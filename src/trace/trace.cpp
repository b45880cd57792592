#include "trace/trace.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>

#include "settings/settings.h"
#include "system/process.h"
#include "trace/trace_file.h"

namespace p11agent::platform {

namespace {

// Lines kept past this are written without waiting for the answer.
constexpr std::size_t MOST_KEPT = 64u << 10;

struct Trace {
  std::mutex lock;
  TraceTarget target;
  std::optional<TraceFile> file;
  std::optional<std::string> problem;
  std::string kept;
  std::string pid;
  bool traced = false;  // a line was added
  // The time's text up to the second, made once a second: a cached signature adds several lines.
  std::int64_t second = -1;
  std::string second_text;
};

// Never destroyed: a loader thread may still trace while the process ends.
Trace& the_trace() {
  static Trace* trace = new Trace;
  return *trace;
}

// The variable's path, else the user's setting's; an empty path when neither names one.
TraceTarget named_trace_target() {
  if (std::string named = trace_variable(); !named.empty()) return {named, "P11AGENT_TRACE"};
  if (const auto& set = settings().trace_file; set && !set->empty()) return {*set, user_setting_place(TRACE_FILE)};
  return {};
}

std::once_flag g_opened;
std::atomic<bool> g_on{false};

void open_once() {
  std::call_once(g_opened, [] {
    Trace& t = the_trace();
    t.target = named_trace_target();
    if (t.target.path.empty()) return;
    t.pid = std::to_string(trace_process_id());
    auto file = open_trace_file(t.target.path);
    if (!file) {
      t.problem = file.error();
      return;
    }
    t.file = *file;
    g_on = true;
    // The process's end says the trace's last line.
    at_process_end(end_trace);
  });
}

// The RFC 3339 form of a time since the Unix epoch, with milliseconds ("...T17:31:48.123Z").
std::string trace_time(std::int64_t unix_milliseconds) {
  using namespace std::chrono;
  const sys_time<milliseconds> time{milliseconds(unix_milliseconds)};
  const auto day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss clock{time - day};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));
  return text;
}

// Tracing ends for this process, saying why as the doctor does.
void stop_tracing(Trace& t, std::string problem) {
  if (t.file) close_trace_file(*t.file);
  t.file.reset();
  t.problem = std::move(problem);
  g_on = false;
}

// The file at the path again, where another process began the next one.
void reopen(Trace& t) {
  close_trace_file(*t.file);
  t.file.reset();
  auto file = open_trace_file(t.target.path);
  if (!file) return stop_tracing(t, file.error());
  t.file = *file;
}

// The full file goes to "<name>.1" and a new one begins. A file that cannot be moved
// away (a folder, or another user's file, in its place) would grow past its bound: the
// trace ends instead, as it does where the new one cannot be begun.
void begin_next_file(Trace& t) {
  close_trace_file(*t.file);
  t.file.reset();
  if (!move_trace_file(t.target.path, t.target.path + ".1"))
    return stop_tracing(t, "is full and cannot be moved to " + t.target.path + ".1");
  auto file = open_trace_file(t.target.path);
  if (!file) return stop_tracing(t, file.error());
  t.file = *file;
}

// Rotation is decided by the file as it is on disk: other processes append to it too.
void write_kept(Trace& t) {
  if (t.kept.empty() || !t.file) return;
  auto on_disk = trace_file_state(*t.file, t.target.path);
  if (on_disk && !on_disk->at_path) {
    reopen(t);
    if (t.file) on_disk = trace_file_state(*t.file, t.target.path);
  }
  if (t.file && !on_disk) stop_tracing(t, "cannot be examined");
  if (t.file && on_disk->size > 0 && on_disk->size + t.kept.size() > TRACE_MOST_BYTES) begin_next_file(t);
  if (t.file) (void)append_to_trace(*t.file, t.kept);
  t.kept.clear();
}

}  // namespace

TraceTarget trace_target() {
  open_once();
  return the_trace().target;
}

std::optional<std::string> trace_problem() {
  open_once();
  std::lock_guard held(the_trace().lock);
  return the_trace().problem;
}

bool tracing() {
  open_once();
  return g_on.load(std::memory_order_relaxed);
}

void trace(std::string_view event, std::string_view fields, TraceWrite write) {
  if (!tracing()) return;
  using namespace std::chrono;
  const auto now = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  Trace& t = the_trace();
  std::lock_guard held(t.lock);
  t.traced = true;
  const std::int64_t second = now / 1000, milli = now % 1000;
  if (second != t.second) {
    t.second = second;
    t.second_text = trace_time(second * 1000).substr(0, 19);
  }
  const char milli_text[] = {'.', static_cast<char>('0' + milli / 100), static_cast<char>('0' + milli / 10 % 10),
                             static_cast<char>('0' + milli % 10), 'Z'};
  t.kept += "{\"t\":\"";
  t.kept += t.second_text;
  t.kept.append(milli_text, sizeof milli_text);
  t.kept += "\",\"pid\":";
  t.kept += t.pid;
  t.kept += ",\"event\":\"";
  t.kept += event;
  t.kept += '"';
  if (!fields.empty()) {
    t.kept += ',';
    t.kept += fields;
  }
  t.kept += "}\n";
  if (write == TraceWrite::Now || t.kept.size() > MOST_KEPT) write_kept(t);
}

void flush_trace() {
  if (!g_on.load(std::memory_order_relaxed)) return;
  Trace& t = the_trace();
  std::lock_guard held(t.lock);
  write_kept(t);
}

void end_trace(int status) {
  if (!g_on.load(std::memory_order_relaxed)) return;
  bool traced;
  {
    std::lock_guard held(the_trace().lock);
    traced = the_trace().traced;
  }
  if (traced) trace("end", "\"status\":" + std::to_string(status));
  flush_trace();
}

void never_trace() {
  std::call_once(g_opened, [] {});  // the variable is not even read
  g_on = false;
}

}  // namespace p11agent::platform
