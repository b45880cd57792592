#include "daemon/frame_reader.h"

#include <cstring>

#include "wire/response.h"

namespace p11agent {

namespace {
constexpr std::size_t LENGTH_BYTES = sizeof(std::uint32_t);
}  // namespace

bool FrameReader::fill(std::size_t count) {
  while (input_.unread().size() < count) {
    auto got = input_.read_more();
    if (!got || *got == 0) return false;
  }
  return true;
}

std::optional<WipedString> FrameReader::next_message() {
  if (!fill(LENGTH_BYTES)) return std::nullopt;
  std::uint32_t length = 0;
  std::memcpy(&length, input_.unread().data(), LENGTH_BYTES);
  input_.skip(LENGTH_BYTES);
  if (length > MAX_MESSAGE_BYTES) {
    over_limit_ = true;
    return std::nullopt;
  }
  if (!fill(length)) return std::nullopt;
  return input_.take(length);
}

std::optional<WipedString> FrameReader::next_request() {
  while (auto message = next_message()) {
    auto text = request_text(std::move(*message));
    if (!text) return std::nullopt;
    if (!text->empty()) return text;
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
