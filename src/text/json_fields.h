#pragma once
// The members of one JSON object, written as they are added: for the trace's lines, which
// are made on the hot path of a signature and need no document library.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace p11agent {

class JsonFields {
 public:
  // A string; text that is not valid UTF-8 is repaired (U+FFFD), quotes, backslashes and
  // control characters are escaped.
  JsonFields& text(std::string_view key, std::string_view value);
  JsonFields& number(std::string_view key, std::int64_t value);
  JsonFields& flag(std::string_view key, bool value);
  JsonFields& texts(std::string_view key, std::span<const std::string> values);
  // The members, comma-separated, without the braces.
  const std::string& str() const { return out_; }

 private:
  void key(std::string_view name);
  std::string out_;
};

// A JSON string literal of `value`, quotes included (see JsonFields::text).
void append_json_string(std::string& out, std::string_view value);

}  // namespace p11agent
