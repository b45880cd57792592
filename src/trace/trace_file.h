#pragma once
// The trace's file, as each platform opens and writes it (trace_*.cpp); only trace.cpp uses this.
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "trace/trace.h"

namespace p11agent::platform {

struct TraceFile {
  std::intptr_t handle;
};

// What P11AGENT_TRACE holds ("" where it is not set).
std::string trace_variable();

// Opens the file for appending, making it with only its owner's access: never through a
// link, nor a FIFO, a device or a folder; the error says why, after the path.
std::expected<TraceFile, std::string> open_trace_file(const std::string& path);
bool append_to_trace(const TraceFile& file, std::string_view bytes);
// The open file's size on disk now (every process appends to it), and whether it is still
// the one at `path`: another process may have moved it away to begin the next. nullopt
// where it cannot be told.
struct TraceFileState {
  std::uint64_t size;
  bool at_path;
};
std::optional<TraceFileState> trace_file_state(const TraceFile& file, const std::string& path);
void close_trace_file(const TraceFile& file);
// Renames `from` to `to`, replacing what is there.
bool move_trace_file(const std::string& from, const std::string& to);
std::int64_t trace_process_id();

}  // namespace p11agent::platform
