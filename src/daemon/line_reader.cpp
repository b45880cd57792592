#include "daemon/line_reader.h"

#include "text/utf8.h"

namespace p11agent {

std::optional<WipedString> LineReader::next_line() {
  for (;;) {
    if (auto end = pending_.find('\n', start_ + scanned_); end != std::string::npos) {
      WipedString line(std::string_view(pending_).substr(start_, end - start_));
      start_ = end + 1;
      scanned_ = 0;
      return line;
    }
    scanned_ = pending_.size() - start_;
    // Consumed lines are dropped only before a read, so a chunk holding many lines is
    // not moved once per line.
    pending_.erase_front(start_);
    start_ = 0;
    auto got = source_(chunk_.data(), chunk_.size());
    if (!got) return std::nullopt;
    if (*got == 0) {
      if (pending_.empty()) return std::nullopt;
      WipedString last = std::move(pending_);  // input ended in the middle of a line
      pending_.clear();
      scanned_ = 0;
      return last;
    }
    pending_.append(chunk_.data(), *got);
    platform::secure_zero(chunk_.data(), *got);
  }
}

std::optional<WipedString> request_text(WipedString raw) {
  if (!is_valid_utf8(raw)) return std::nullopt;
  std::string_view text = trim_white_space(raw);
  if (text.size() == raw.size()) return raw;
  return WipedString(text);
}

std::optional<WipedString> LineReader::next_request() {
  while (auto line = next_line()) {
    if (line->ends_with('\r')) line->pop_back();
    auto text = request_text(std::move(*line));
    if (!text) return std::nullopt;
    if (!text->empty()) return text;
  }
  return std::nullopt;
}

}  // namespace p11agent
