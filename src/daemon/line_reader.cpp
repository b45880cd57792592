#include "daemon/line_reader.h"

#include "text/utf8.h"

namespace p11agent {

namespace {
constexpr std::string_view LINE_TOO_LONG = "request line longer than the 1048576 bytes serve takes";
}  // namespace

std::optional<std::size_t> InputBuffer::read_more() {
  pending_.erase_front(start_);
  start_ = 0;
  auto got = source_(chunk_.data(), chunk_.size());
  if (got && *got > 0) {
    pending_.append(chunk_.data(), *got);
    platform::secure_zero(chunk_.data(), *got);
  }
  return got;
}

WipedString InputBuffer::take(std::size_t count) {
  WipedString bytes(unread().substr(0, count));
  start_ += bytes.size();
  return bytes;
}

std::optional<WipedString> LineReader::next_line() {
  too_long_ = false;
  for (;;) {
    if (auto end = input_.unread().find('\n', scanned_); end != std::string_view::npos) {
      too_long_ = too_long_ || end > MAX_MESSAGE_BYTES;
      WipedString line = too_long_ ? WipedString() : input_.take(end);
      input_.skip(too_long_ ? end + 1 : 1);
      scanned_ = 0;
      return line;
    }
    if (input_.unread().size() > MAX_MESSAGE_BYTES) {
      too_long_ = true;
      input_.skip(input_.unread().size());
    }
    scanned_ = input_.unread().size();
    auto got = input_.read_more();
    if (!got) return std::nullopt;
    if (*got == 0) {
      scanned_ = 0;
      if (input_.unread().empty() && !too_long_) return std::nullopt;
      // Input that ended in the middle of a line.
      too_long_ = too_long_ || input_.unread().size() > MAX_MESSAGE_BYTES;
      if (too_long_) input_.skip(input_.unread().size());
      return too_long_ ? WipedString() : input_.take(input_.unread().size());
    }
  }
}

std::optional<WipedString> request_text(WipedString raw) {
  if (!is_valid_utf8(raw)) return std::nullopt;
  std::string_view text = trim_white_space(raw);
  if (text.size() == raw.size()) return raw;
  return WipedString(text);
}

std::optional<ReadRequest> LineReader::next_request() {
  while (auto line = next_line()) {
    if (too_long_) return ReadRequest{{}, LINE_TOO_LONG};
    if (line->ends_with('\r')) line->pop_back();
    auto text = request_text(std::move(*line));
    if (!text) return std::nullopt;
    if (!text->empty()) return ReadRequest{std::move(*text), {}};
  }
  return std::nullopt;
}

}  // namespace p11agent
