#pragma once
// Framing of a browser's native messages: each message is a 32-bit length in the
// machine's byte order, then that many bytes of UTF-8 JSON.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "daemon/line_reader.h"

namespace p11agent {

// Of a message over the limit, at most this much is read (and dropped) before it is
// answered: a browser delivers the answer only once it has written the message.
inline constexpr std::size_t MAX_DISCARDED_BYTES = 64u << 20;

class FrameReader {
 public:
  explicit FrameReader(ByteSource source) : input_(std::move(source)) {}

  // The next request: a message trimmed of white space; empty messages are skipped; one
  // that is not UTF-8 is refused. nullopt at end of input (also inside a length or a
  // message), on a read error, and at a length over MAX_MESSAGE_BYTES (see over_limit).
  std::optional<ReadRequest> next_request();

  // The input ended at a length over the limit: the rest cannot be framed.
  bool over_limit() const { return over_limit_; }

 private:
  std::optional<WipedString> next_message();
  // Reads until `count` bytes are unread; false at end of input or on a read error.
  bool fill(std::size_t count);
  // Reads and drops up to `count` bytes, holding none of them.
  void discard(std::size_t count);

  InputBuffer input_;
  bool over_limit_ = false;
};

// The answer as one message: its length, then its bytes. An answer over the limit is
// replaced by an error answer that says so.
std::string framed_answer(std::string_view answer);

}  // namespace p11agent
