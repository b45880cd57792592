// The daemon's input framing, in process: bytes as a pipe would deliver them, requests out.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>

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

TEST(LineReader, FramesOneRequestPerLine) {
  const std::string big(200000, 'x');
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
      {"a line that is not UTF-8 ends the input", {"a\n\xFF\nb\n"}, {"a"}},
      {"a read error ends the input", {"a\nb", "<error>", "c\n"}, {"a"}},
      {"no input", {}, {}},
  };
  for (const FramingCase& c : cases) {
    LineReader reader(scripted(c.reads));
    std::vector<std::string> got;
    while (auto request = reader.next_request()) got.emplace_back(*request);
    EXPECT_EQ(got, c.requests) << c.name;
  }
}

}  // namespace
}  // namespace p11agent
