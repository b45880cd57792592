#pragma once
// Framing of the daemon's input: one request a line.
#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "platform/secure_memory.h"

namespace p11agent {

using platform::WipedString;

// Fills a buffer with up to `capacity` bytes: 0 at end of input, nullopt on a read error.
using ByteSource = std::function<std::optional<std::size_t>(char* buffer, std::size_t capacity)>;

// A request as read, whatever its framing: nullopt when it is not UTF-8 (the input then
// ends), otherwise the text trimmed of white space (empty for a blank one, which is skipped).
std::optional<WipedString> request_text(WipedString raw);

// Reads a byte source a line at a time; a line is kept whole however long it is. Every
// buffer that held input is wiped before it is given back or used again.
class LineReader {
 public:
  explicit LineReader(ByteSource source) : source_(std::move(source)) {}

  // The next line without its "\n"; nullopt at end of input or on a read error. Input
  // that ends in the middle of a line gives that line.
  std::optional<WipedString> next_line();

  // The next request: a line without a final "\r", trimmed of white space; blank lines
  // are skipped. nullopt at end of input, on a read error, or at a line that is not UTF-8.
  std::optional<WipedString> next_request();

  ~LineReader() { platform::secure_zero(chunk_.data(), chunk_.size()); }
  // One reader owns its buffers.
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

 private:
  ByteSource source_;
  WipedString pending_;
  std::size_t start_ = 0;    // where the unread part of pending_ begins
  std::size_t scanned_ = 0;  // bytes after start_ known to hold no "\n"
  std::array<char, 65536> chunk_{};
};

}  // namespace p11agent
