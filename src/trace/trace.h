#pragma once
// The trace a user turns on for a helpdesk: a JSON Lines file of what the agent did (each
// request and answer, module call, host, prompt and picker) with its time and outcome.
// Its callers put in only what may be mailed: never a PIN, a hash, a signature, key or
// certificate bytes, or a page's words. Off unless P11AGENT_TRACE names a file, or the
// user's own setting does (Linux: the first line of $XDG_CONFIG_HOME/p11agent/trace-file;
// Windows: HKCU\Software\p11agent, TraceFile); the variable wins.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace p11agent::platform {

// A file that reaches this size is renamed to "<name>.1" (replacing an older one) and a new
// one begun.
inline constexpr std::uint64_t TRACE_MOST_BYTES = 16u << 20;

struct TraceTarget {
  std::string path;    // "" when tracing is off
  std::string source;  // where it was named: the variable, or the setting's place
};
// Where the trace goes, as named. Read once.
TraceTarget trace_target();

// Why the named file is not written (a link, a FIFO, a folder, no access), in words that
// follow the path; nullopt when it is written or tracing is off.
std::optional<std::string> trace_problem();

// Whether lines are kept: a file is named and could be opened. The first ask opens it.
bool tracing();

// Whether a line waits for a person next (a prompt shown, a deadline passed): it is written
// at once rather than with the next answer.
enum class TraceWrite { WithNext, Now };

// Adds a line: the time (UTC, RFC 3339 with milliseconds), the process id, the event, then
// `fields` (JSON members, comma-separated). Kept until the next flush_trace or a line
// written Now. A line that cannot be written is lost; nothing else changes.
void trace(std::string_view event, std::string_view fields, TraceWrite write = TraceWrite::WithNext);

// Writes the lines kept; done before the agent waits for its caller, and where the process ends.
void flush_trace();

// Where the process ends: an "end" line with its status, when this process traced anything,
// and every line kept written.
void end_trace(int status);

// A module host writes none of the agent's lines, though it has the agent's environment.
void never_trace();

}  // namespace p11agent::platform
