// The daemon's input framing, in process: bytes as a pipe would deliver them, requests out.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>

#include "daemon/frame_reader.h"
#include "daemon/line_reader.h"

namespace p11agent {
namespace {

struct FramingCase {
  const char* name;
  std::vector<std::string> reads;  // what each read delivers; "<error>" makes that read fail
  std::vector<std::string> requests;
};

// A byte source that hands out the scripted reads in order (a read larger than the
// buffer is delivered over several calls), then the end of input.
ByteSource scripted(std::vector<std::string> reads) {
  auto pending = std::make_shared<std::deque<std::string>>(reads.begin(), reads.end());
  return [pending](char* buffer, std::size_t capacity) -> std::optional<std::size_t> {
    if (pending->empty()) return 0;
    std::string& front = pending->front();
    if (front == "<error>") return std::nullopt;
    std::size_t n = std::min(capacity, front.size());
    std::memcpy(buffer, front.data(), n);
    front.erase(0, n);
    if (front.empty()) pending->pop_front();
    return n;
  };
}

std::vector<std::string> bytes_one_at_a_time(const std::string& text) {
  std::vector<std::string> reads;
  for (char c : text) reads.emplace_back(1, c);
  return reads;
}

// A request's text, or "refused: " and the failure it is answered with.
std::string as_read(const ReadRequest& request) {
  return request.refusal.empty() ? std::string(request.text) : "refused: " + std::string(request.refusal);
}

TEST(LineReader, FramesOneRequestPerLine) {
  const std::string big(200000, 'x');
  const std::string too_long(MAX_MESSAGE_BYTES + 1, 'x');
  const std::string refused = "refused: request line longer than the 1048576 bytes serve takes";
  const std::vector<FramingCase> cases = {
      {"LF", {"a\nb\n"}, {"a", "b"}},
      {"CR LF", {"a\r\nb\r\n"}, {"a", "b"}},
      {"blank and white-space lines get no request", {"\n  \t\n\r\n a \n\n"}, {"a"}},
      {"Unicode white space trimmed", {"\xE3\x80\x80" "a\xC2\xA0\n"}, {"a"}},
      {"a CR inside a line stays", {"a\rb\n"}, {"a\rb"}},
      {"a line split over reads", {"{\"cmd\"", ":\"ping\"", "}\n"}, {"{\"cmd\":\"ping\"}"}},
      {"a byte a read", bytes_one_at_a_time("ab\r\n\ncd\n"), {"ab", "cd"}},
      {"lines joined in one read", {"x\ny\nz\n"}, {"x", "y", "z"}},
      {"a last line ended by the input", {"a\nlast"}, {"a", "last"}},
      {"a line longer than the read buffer", {big + "\n" + "next\n"}, {big, "next"}},
      {"a line of the limit's length", {std::string(MAX_MESSAGE_BYTES, 'x') + "\n"}, {std::string(MAX_MESSAGE_BYTES, 'x')}},
      {"a line past the limit is refused and skipped", {"a\n" + too_long + "\nb\n"}, {"a", refused, "b"}},
      {"a line past the limit over many reads", {too_long.substr(0, 70000), too_long.substr(70000) + "\nb\n"}, {refused, "b"}},
      {"a line past the limit ended by the input", {too_long}, {refused}},
      {"a line that is not UTF-8 ends the input", {"a\n\xFF\nb\n"}, {"a"}},
      {"a read error ends the input", {"a\nb", "<error>", "c\n"}, {"a"}},
      {"no input", {}, {}},
  };
  for (const FramingCase& c : cases) {
    LineReader reader(scripted(c.reads));
    std::vector<std::string> got;
    while (auto request = reader.next_request()) got.push_back(as_read(*request));
    EXPECT_EQ(got, c.requests) << c.name;
  }
}

// A native message: its length in the machine's byte order, then its bytes.
std::string message(const std::string& body, std::uint32_t length) {
  std::string framed(sizeof length, '\0');
  std::memcpy(framed.data(), &length, sizeof length);
  return framed + body;
}
std::string message(const std::string& body) { return message(body, static_cast<std::uint32_t>(body.size())); }

TEST(FrameReader, FramesOneRequestPerMessage) {
  const std::string ping = R"({"cmd":"ping"})";
  const std::string whole = message(ping);
  const std::string big(MAX_MESSAGE_BYTES, 'x');
  struct Case {
    const char* name;
    std::vector<std::string> reads;
    std::vector<std::string> requests;
    bool over_limit;
  };
  const std::vector<Case> cases = {
      {"a whole message", {whole}, {ping}, false},
      {"a message split across reads", {whole.substr(0, 2), whole.substr(2, 7), whole.substr(9)}, {ping}, false},
      {"a byte a read", bytes_one_at_a_time(whole + message("x")), {ping, "x"}, false},
      {"two messages in one read", {whole + message(" \t{} \r\n")}, {ping, "{}"}, false},
      {"a zero-length message gets no request", {message("") + whole}, {ping}, false},
      {"a message of the limit's length", {message(big)}, {big}, false},
      {"a length beyond the limit ends the input", {whole + message("y", MAX_MESSAGE_BYTES + 1) + whole}, {ping}, true},
      {"end of input inside the length", {whole + whole.substr(0, 3)}, {ping}, false},
      {"end of input inside the message", {whole + whole.substr(0, 9)}, {ping}, false},
      {"a message that is not UTF-8 is refused", {message("\xFF") + whole},
       {"refused: failed to read request from stdin", ping}, false},
      {"a read error ends the input", {whole, "<error>", whole}, {ping}, false},
  };
  for (const Case& c : cases) {
    FrameReader reader(scripted(c.reads));
    std::vector<std::string> got;
    while (auto request = reader.next_request()) got.push_back(as_read(*request));
    EXPECT_EQ(got, c.requests) << c.name;
    EXPECT_EQ(reader.over_limit(), c.over_limit) << c.name;
  }
  // A message over the limit is read to its end before it is answered: the browser that
  // is still writing it takes the answer only then.
  const std::string over = message(std::string(MAX_MESSAGE_BYTES + 1, 'y'));
  std::size_t delivered = 0;
  FrameReader reader([&](char* buffer, std::size_t capacity) -> std::optional<std::size_t> {
    const std::size_t n = std::min(capacity, over.size() - delivered);
    std::memcpy(buffer, over.data() + delivered, n);
    delivered += n;
    return n;
  });
  EXPECT_FALSE(reader.next_request());
  EXPECT_TRUE(reader.over_limit());
  EXPECT_EQ(delivered, over.size());
  // An answer goes out framed; one over the limit is replaced by an error that says so.
  EXPECT_EQ(framed_answer(ping), whole);
  const std::string refused = framed_answer("{\"certs\":[\"" + big + "\"],\"ok\":true}");
  EXPECT_EQ(refused.substr(sizeof(std::uint32_t)),
            R"({"error":"answer longer than the 1048576 bytes a browser takes from a native host","ok":false})");
  EXPECT_EQ(refused, message(refused.substr(sizeof(std::uint32_t))));
}

}  // namespace
}  // namespace p11agent
