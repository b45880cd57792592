#include "daemon/frame_reader.h"

#include <algorithm>
#include <cstring>

#include "wire/response.h"

namespace p11agent {

namespace {
constexpr std::size_t LENGTH_BYTES = sizeof(std::uint32_t);
// The one-shot mode's text for input that is not UTF-8.
constexpr std::string_view NOT_UTF8 = "failed to read request from stdin";
}  // namespace

bool FrameReader::fill(std::size_t count) {
  while (input_.unread().size() < count) {
    auto got = input_.read_more();
    if (!got || *got == 0) return false;
  }
  return true;
}

void FrameReader::discard(std::size_t count) {
  while (count > 0) {
    if (input_.unread().empty()) {
      auto got = input_.read_more();
      if (!got || *got == 0) return;
    }
    const std::size_t dropped = std::min(count, input_.unread().size());
    input_.skip(dropped);
    count -= dropped;
  }
}

std::optional<WipedString> FrameReader::next_message() {
  if (!fill(LENGTH_BYTES)) return std::nullopt;
  std::uint32_t length = 0;
  std::memcpy(&length, input_.unread().data(), LENGTH_BYTES);
  input_.skip(LENGTH_BYTES);
  if (length > MAX_MESSAGE_BYTES) {
    discard(std::min<std::size_t>(length, MAX_DISCARDED_BYTES));
    over_limit_ = true;
    return std::nullopt;
  }
  if (!fill(length)) return std::nullopt;
  return input_.take(length);
}

std::optional<ReadRequest> FrameReader::next_request() {
  while (auto message = next_message()) {
    // The message's end is known: the next one can still be read.
    auto text = request_text(std::move(*message));
    if (!text) return ReadRequest{{}, NOT_UTF8};
    if (!text->empty()) return ReadRequest{std::move(*text), {}};
  }
  return std::nullopt;
}

std::string framed_answer(std::string_view answer) {
  std::string too_long;
  if (answer.size() > MAX_MESSAGE_BYTES) {
    too_long = error_response_text("answer longer than the " + std::to_string(MAX_MESSAGE_BYTES) +
                                   " bytes a browser takes from a native host");
    answer = too_long;
  }
  const auto length = static_cast<std::uint32_t>(answer.size());
  std::string message(LENGTH_BYTES, '\0');
  std::memcpy(message.data(), &length, LENGTH_BYTES);
  message.append(answer);
  return message;
}

}  // namespace p11agent
