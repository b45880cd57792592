#pragma once
// Framing of the daemon's input: one request a line.
#include <array>
#include <cstdint>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "system/secure_memory.h"

namespace p11agent {

using platform::WipedString;

// Fills a buffer with up to `capacity` bytes: 0 at end of input, nullopt on a read error.
using ByteSource = std::function<std::optional<std::size_t>(char* buffer, std::size_t capacity)>;

// Bytes read from a source and not yet taken. Every buffer that held input is wiped before
// it is given back or used again.
class InputBuffer {
 public:
  explicit InputBuffer(ByteSource source) : source_(std::move(source)) {}
  ~InputBuffer() { platform::secure_zero(chunk_.data(), chunk_.size()); }
  // One reader owns its buffers.
  InputBuffer(const InputBuffer&) = delete;
  InputBuffer& operator=(const InputBuffer&) = delete;

  // Appends one more read, dropping what was taken before it (only then, so that a read
  // holding many requests is not moved once per request): the bytes read, 0 at end of
  // input, nullopt on a read error.
  std::optional<std::size_t> read_more();
  std::string_view unread() const { return std::string_view(pending_).substr(start_); }
  // The next `count` unread bytes, taken; skip takes them without a copy.
  WipedString take(std::size_t count);
  void skip(std::size_t count) { start_ += count; }

 private:
  ByteSource source_;
  WipedString pending_;
  std::size_t start_ = 0;  // where the unread part of pending_ begins
  std::array<char, 65536> chunk_{};
};

// The longest request either framing holds: the browsers take no message over 1 MB from a
// host, and no request needs more.
inline constexpr std::uint32_t MAX_MESSAGE_BYTES = 1024 * 1024;

// A request as read: its text, or, for one that is answered without being handled, the
// failure text it is answered with.
struct ReadRequest {
  WipedString text;
  std::string_view refusal;  // empty: the request is handled
};

// A request as read, whatever its framing: nullopt when it is not UTF-8, otherwise the
// text trimmed of white space (empty for a blank one, which is skipped).
std::optional<WipedString> request_text(WipedString raw);

// Reads a byte source a line at a time. A line past MAX_MESSAGE_BYTES is not held: its
// bytes are dropped as they arrive, up to its end.
class LineReader {
 public:
  explicit LineReader(ByteSource source) : input_(std::move(source)) {}

  // The next line without its "\n" (empty for one that was too long); nullopt at end of
  // input or on a read error. Input that ends in the middle of a line gives that line.
  std::optional<WipedString> next_line();

  // The next request: a line without a final "\r", trimmed of white space; blank lines
  // are skipped; a line too long is refused. nullopt at end of input, on a read error, or
  // at a line that is not UTF-8 (where such a line ended cannot be known for sure).
  std::optional<ReadRequest> next_request();

 private:
  InputBuffer input_;
  std::size_t scanned_ = 0;  // unread bytes known to hold no "\n"
  bool too_long_ = false;    // the line being read, or the last one given, is too long
};

}  // namespace p11agent
