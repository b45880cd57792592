#include "text/json_fields.h"

#include <cstdint>

#include "text/utf8.h"

namespace p11agent {

namespace {

void append_escaped(std::string& out, std::string_view valid) {
  for (std::size_t i = 0, length = 0; i < valid.size(); i += length) {
    const std::uint32_t c = code_point_at(valid, i, length);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      constexpr char DIGITS[] = "0123456789abcdef";
      out += "\\u00";
      out += DIGITS[c >> 4];
      out += DIGITS[c & 0xF];
    } else {
      out.append(valid.substr(i, length));
    }
  }
}

}  // namespace

void append_json_string(std::string& out, std::string_view value) {
  out += '"';
  if (is_valid_utf8(value)) {
    append_escaped(out, value);
  } else {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(value.data());
    append_escaped(out, decode_utf8_lossy({bytes, value.size()}));
  }
  out += '"';
}

void JsonFields::key(std::string_view name) {
  if (!out_.empty()) out_ += ',';
  append_json_string(out_, name);
  out_ += ':';
}

JsonFields& JsonFields::text(std::string_view name, std::string_view value) {
  key(name);
  append_json_string(out_, value);
  return *this;
}

JsonFields& JsonFields::number(std::string_view name, std::int64_t value) {
  key(name);
  out_ += std::to_string(value);
  return *this;
}

JsonFields& JsonFields::flag(std::string_view name, bool value) {
  key(name);
  out_ += value ? "true" : "false";
  return *this;
}

JsonFields& JsonFields::texts(std::string_view name, std::span<const std::string> values) {
  key(name);
  out_ += '[';
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i != 0) out_ += ',';
    append_json_string(out_, values[i]);
  }
  out_ += ']';
  return *this;
}

}  // namespace p11agent
