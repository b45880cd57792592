#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "trace/trace_file.h"

namespace p11agent::platform {

namespace {

std::string opening_problem(const std::string& path, int error) {
  struct stat seen {};
  if (::lstat(path.c_str(), &seen) == 0) {
    if (S_ISLNK(seen.st_mode)) return "is a symbolic link, which the trace never follows";
    if (S_ISDIR(seen.st_mode)) return "is a folder";
    if (S_ISFIFO(seen.st_mode)) return "is a FIFO, not a file";
  }
  return std::string("cannot be opened for writing: ") + std::strerror(error);
}

std::string kind_problem(const struct stat& opened) {
  if (S_ISFIFO(opened.st_mode)) return "is a FIFO, not a file";
  if (S_ISDIR(opened.st_mode)) return "is a folder";
  if (!S_ISREG(opened.st_mode)) return "is a device, not a file";
  if (opened.st_uid != ::geteuid()) return "belongs to another user";
  return "";
}

}  // namespace

std::string trace_variable() {
  const char* named = std::getenv("P11AGENT_TRACE");
  return named != nullptr ? named : "";
}

std::expected<TraceFile, std::string> open_trace_file(const std::string& path) {
  // Without waiting: a FIFO with nobody reading it cannot hold the agent up.
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) return std::unexpected(opening_problem(path, errno));
  struct stat opened {};
  std::string problem = ::fstat(fd, &opened) != 0 ? std::string("cannot be examined") : kind_problem(opened);
  // A file made before with wider access is narrowed to its owner's.
  if (problem.empty() && (opened.st_mode & 077) != 0 && ::fchmod(fd, 0600) != 0)
    problem = "cannot be made private to its owner";
  if (!problem.empty()) {
    ::close(fd);
    return std::unexpected(problem);
  }
  return TraceFile{fd};
}

std::optional<TraceFileState> trace_file_state(const TraceFile& file, const std::string& path) {
  struct stat opened {}, named {};
  if (::fstat(static_cast<int>(file.handle), &opened) != 0) return std::nullopt;
  const bool at_path = ::lstat(path.c_str(), &named) == 0 && named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
  return TraceFileState{static_cast<std::uint64_t>(opened.st_size), at_path};
}

bool append_to_trace(const TraceFile& file, std::string_view bytes) {
  const int fd = static_cast<int>(file.handle);
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void close_trace_file(const TraceFile& file) { ::close(static_cast<int>(file.handle)); }

bool move_trace_file(const std::string& from, const std::string& to) { return std::rename(from.c_str(), to.c_str()) == 0; }

std::int64_t trace_process_id() { return ::getpid(); }

}  // namespace p11agent::platform
