#include "wire/request.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "text/encoding.h"
#include "text/utf8.h"

namespace p11agent {

namespace {

// The array form carries the first five, in this order; the rest only have names.
constexpr std::array<std::string_view, 14> FIELD_NAMES = {
    "cmd",     "module", "thumbprint", "hash_hex",  "pin",  "origin",          "pin_prompt",
    "details", "filter", "algorithm",  "hash", "signature_format", "description", "challenge_nonce"};
constexpr std::size_t ARRAY_FIELDS = 5;
constexpr std::size_t PIN_FIELD = 4;
constexpr std::size_t PIN_PROMPT_FIELD = 6;
constexpr std::size_t DETAILS_FIELD = 7;
constexpr std::size_t FILTER_FIELD = 8;
constexpr std::size_t DESCRIPTION_FIELD = 12;
// The request itself is the first level; a bracket that would open level 128 is refused.
constexpr int NESTING_LIMIT = 128;

// Shortest round-trip digits of a double, laid out as the wire's error texts show floats:
// plain decimal with ".0" for whole numbers up to 16 digits, exponent form beyond.
std::string format_float(double value) {
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string sci(buffer, end);
  std::string sign;
  if (!sci.empty() && sci[0] == '-') {
    sign = "-";
    sci.erase(0, 1);
  }
  std::size_t e = sci.find('e');
  std::string digits = sci.substr(0, e);
  digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
  int exponent = std::atoi(sci.c_str() + e + 1);
  int length = static_cast<int>(digits.size());
  int point = exponent + 1;  // digits before the decimal point
  std::string out;
  if (exponent >= length - 1 && point <= 16) {
    out = digits + std::string(static_cast<std::size_t>(point - length), '0') + ".0";
  } else if (point > 0 && point <= 16) {
    out = digits.substr(0, static_cast<std::size_t>(point)) + "." + digits.substr(static_cast<std::size_t>(point));
  } else if (point > -5 && point <= 0) {
    out = "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
  } else {
    out = digits.substr(0, 1);
    if (length > 1) out += "." + digits.substr(1);
    out += "e" + std::to_string(exponent);
  }
  return sign + out;
}

// Every string the parser reads may be the PIN or hold part of a request: it is read into
// a buffer that is wiped when it goes.
using Text = platform::WipedString;

void append_code_point(Text& out, std::uint32_t code_point) {
  char bytes[4];
  out.append(bytes, encode_utf8(code_point, bytes));
}

class RequestParser {
 public:
  explicit RequestParser(std::string_view text) : text_(text) {}

  std::expected<Request, std::string> run() {
    Request request;
    if (!parse_request_value(request) || !expect_end()) return std::unexpected(message());
    return request;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
  int depth_ = 0;
  std::string error_;
  std::size_t error_at_ = 0;

  // --- errors: at the read position, or at the character just looked at ---
  bool fail(std::string message) { return fail_at(std::move(message), pos_); }
  bool fail_peeked(std::string message) {
    return fail_at(std::move(message), std::min(text_.size(), pos_ + 1));
  }
  bool fail_at(std::string message, std::size_t at) {
    error_ = std::move(message);
    error_at_ = at;
    return false;
  }
  std::string message() const {
    std::size_t line = 1, column = 0;
    for (std::size_t i = 0; i < error_at_; ++i) {
      unsigned char c = static_cast<unsigned char>(text_[i]);
      if (c == '\n') {
        ++line;
        column = 0;
      } else if ((c & 0xC0) != 0x80) {
        ++column;  // columns count characters, not bytes
      }
    }
    return error_ + " at line " + std::to_string(line) + " column " + std::to_string(column);
  }

  // --- reading ---
  bool at_end() const { return pos_ >= text_.size(); }
  char current() const { return text_[pos_]; }
  // Skips JSON white space; the next character, or '\0' with at_end() at the end.
  char peek_token() {
    while (!at_end() && (current() == ' ' || current() == '\n' || current() == '\t' || current() == '\r')) ++pos_;
    return at_end() ? '\0' : current();
  }

  bool enter_nesting() {
    if (depth_ + 1 >= NESTING_LIMIT) return fail_peeked("recursion limit exceeded");
    ++depth_;
    ++pos_;
    return true;
  }

  bool parse_ident(std::string_view rest) {
    for (char expected : rest) {
      if (at_end()) return fail("EOF while parsing a value");
      if (text_[pos_++] != expected) return fail("expected ident");
    }
    return true;
  }

  // Steps over the separator before the next member of an object (close '}') or element
  // of an array (close ']'), leaving the position on its first character.
  enum class Next { End, Item, Failed };
  Next next_item(char close, bool& first) {
    const bool object = close == '}';
    char c = peek_token();
    if (c == close) return Next::End;
    if (at_end()) return fail_peeked(object ? "EOF while parsing an object" : "EOF while parsing a list"), Next::Failed;
    if (c == ',' && !first) {
      ++pos_;
      c = peek_token();
    } else if (first) {
      first = false;
    } else {
      return fail_peeked(object ? "expected `,` or `}`" : "expected `,` or `]`"), Next::Failed;
    }
    if (at_end()) return fail_peeked("EOF while parsing a value"), Next::Failed;
    if (c == close) return fail_peeked("trailing comma"), Next::Failed;
    return Next::Item;
  }

  // --- the request record ---
  bool parse_request_value(Request& request) {
    char c = peek_token();
    if (at_end()) return fail_peeked("EOF while parsing a value");
    if (c == '{') return parse_object_form(request);
    if (c == '[') return parse_array_form(request);
    return fail_invalid_type("struct Request");
  }

  bool expect_end() {
    peek_token();
    return at_end() || fail_peeked("trailing characters");
  }

  // A failure found by the record itself (missing, duplicate, too few) is placed after
  // the closing bracket has been read, as far as the text allows.
  bool fail_after_close(std::string message, bool (RequestParser::*close)()) {
    std::string kept = std::move(message);
    (this->*close)();
    return fail_at(std::move(kept), pos_);
  }

  bool parse_object_form(Request& request) {
    if (!enter_nesting()) return false;
    std::array<bool, FIELD_NAMES.size()> seen{};
    bool first = true;
    for (;;) {
      Next next = next_item('}', first);
      if (next == Next::End) break;
      if (next == Next::Failed) return false;
      if (current() != '"') return fail_peeked("key must be a string");
      ++pos_;
      Text key;
      if (!parse_string_body(key)) return false;
      auto known = std::find(FIELD_NAMES.begin(), FIELD_NAMES.end(), std::string_view(key));
      std::size_t field = static_cast<std::size_t>(known - FIELD_NAMES.begin());
      if (known != FIELD_NAMES.end() && seen[field])
        return fail_after_close("duplicate field `" + std::string(key) + "`", &RequestParser::close_object);
      if (!parse_colon()) return false;
      if (known == FIELD_NAMES.end()) {
        if (!skip_value()) return false;
        continue;
      }
      seen[field] = true;
      if (!parse_field(request, field)) return false;
    }
    if (!seen[0]) return fail_after_close("missing field `cmd`", &RequestParser::close_object);
    close_object();
    --depth_;
    return true;
  }

  bool close_object() {
    char c = peek_token();
    if (at_end()) return fail_peeked("EOF while parsing an object");
    if (c == '}') {
      ++pos_;
      return true;
    }
    return fail_peeked(c == ',' ? "trailing comma" : "trailing characters");
  }

  bool parse_colon() {
    char c = peek_token();
    if (at_end()) return fail_peeked("EOF while parsing an object");
    if (c != ':') return fail_peeked("expected `:`");
    ++pos_;
    return true;
  }

  bool parse_array_form(Request& request) {
    if (!enter_nesting()) return false;
    bool first = true;
    for (std::size_t field = 0; field < ARRAY_FIELDS; ++field) {
      Next next = next_item(']', first);
      if (next == Next::Failed) return false;
      if (next == Next::End) {
        if (field == 0)
          return fail_after_close("invalid length 0, expected struct Request with 5 elements",
                                  &RequestParser::close_array);
        continue;  // the remaining fields are absent
      }
      if (!parse_field(request, field)) return false;
    }
    if (!close_array()) return false;
    --depth_;
    return true;
  }

  bool close_array() {
    char c = peek_token();
    if (at_end()) return fail_peeked("EOF while parsing a list");
    if (c == ']') {
      ++pos_;
      return true;
    }
    if (c != ',') return fail_peeked("expected `,` or `]`");
    ++pos_;
    return fail_peeked(peek_token() == ']' ? "trailing comma" : "trailing characters");
  }

  bool parse_field(Request& request, std::size_t field) {
    Text value;
    if (field == 0) {
      if (!parse_text(value)) return false;
      request.cmd.assign(value);
      return true;
    }
    if (peek_token() == 'n') {
      ++pos_;
      return parse_ident("ull");  // null: absent
    }
    if (field == PIN_FIELD) {
      // A PIN sent with the wrong type is a PIN all the same: the message names its type only.
      if (!parse_text(value, Echo::TypeOnly)) return false;
      request.pin = std::move(value);
      return true;
    }
    if (field == PIN_PROMPT_FIELD) return parse_boolean(request.pin_prompt);
    if (field == DETAILS_FIELD) return parse_boolean(request.details);
    if (field == FILTER_FIELD) return keep_object_text(request.filter);
    if (field == DESCRIPTION_FIELD && peek_token() != '"') {
      // Refused by the command that shows it, with a text of its own.
      request.description_not_text = true;
      return skip_value();
    }
    std::optional<std::string>* optional[] = {nullptr,          &request.module, &request.thumbprint, &request.hash_hex,
                                              nullptr,          &request.origin, nullptr,             nullptr,
                                              nullptr,          &request.algorithm, &request.hash,    &request.signature_format,
                                              &request.description, &request.challenge_nonce};
    if (!parse_text(value)) return false;
    optional[field]->emplace(value);
    return true;
  }

  enum class Echo { Value, TypeOnly };

  // An object member kept as its JSON text, checked as any value is; its members are read
  // by the command that takes it.
  bool keep_object_text(std::optional<std::string>& out) {
    const char c = peek_token();
    if (at_end()) return fail_peeked("EOF while parsing a value");
    if (c != '{') return fail_invalid_type("a map");
    const std::size_t start = pos_;
    if (!skip_object()) return false;
    out.emplace(text_.substr(start, pos_ - start));
    return true;
  }

  bool parse_boolean(bool& out) {
    char c = peek_token();
    if (at_end()) return fail_peeked("EOF while parsing a value");
    if (c != 't' && c != 'f') return fail_invalid_type("a boolean");
    ++pos_;
    out = c == 't';
    return parse_ident(out ? "rue" : "alse");
  }

  bool parse_text(Text& out, Echo echo = Echo::Value) {
    char c = peek_token();
    if (at_end()) return fail_peeked("EOF while parsing a value");
    if (c != '"') return fail_invalid_type("a string", echo);
    ++pos_;
    return parse_string_body(out);
  }

  // Reads the value that is not what was expected, to name it (and, unless told
  // otherwise, show it) in the message.
  bool fail_invalid_type(std::string_view expected, Echo echo = Echo::Value) {
    std::string found;
    switch (char c = current()) {
      case 'n':
        ++pos_;
        if (!parse_ident("ull")) return false;
        found = "null";
        break;
      case 't':
      case 'f':
        ++pos_;
        if (!parse_ident(c == 't' ? "rue" : "alse")) return false;
        found = c == 't' ? "boolean `true`" : "boolean `false`";
        break;
      case '"': {
        ++pos_;
        Text text;
        if (!parse_string_body(text)) return false;
        found = "string \"";
        for (std::size_t i = 0, length = 0; i < text.size(); i += length)
          append_debug_escaped(found, code_point_at(text, i, length), '"');
        found += '"';
        break;
      }
      case '[': found = "sequence"; break;
      case '{': found = "map"; break;
      default:
        if (c != '-' && !(c >= '0' && c <= '9')) return fail_peeked("expected value");
        if (!parse_number(&found)) return false;
    }
    if (echo == Echo::TypeOnly) found = found.substr(0, found.find(" `"));
    return fail("invalid type: " + found + ", expected " + std::string(expected));
  }

  // --- numbers: validated as JSON; described when `description` is given ---
  bool parse_number(std::string* description) {
    std::size_t start = pos_;
    bool negative = current() == '-';
    // Skipped values name a cut-off number "invalid number", described ones an early end.
    const char* cut_off = description != nullptr ? "EOF while parsing a value" : "invalid number";
    if (negative) ++pos_;
    if (at_end()) return fail(cut_off);
    char first = text_[pos_++];
    if (first == '0') {
      if (!at_end() && current() >= '0' && current() <= '9') return fail_peeked("invalid number");
    } else if (first >= '1' && first <= '9') {
      while (!at_end() && current() >= '0' && current() <= '9') ++pos_;
    } else {
      return fail("invalid number");
    }
    bool whole = true;
    if (!at_end() && current() == '.') {
      whole = false;
      ++pos_;
      std::size_t digits = pos_;
      while (!at_end() && current() >= '0' && current() <= '9') ++pos_;
      if (pos_ == digits) return fail_peeked(at_end() ? cut_off : "invalid number");
    }
    if (!at_end() && (current() == 'e' || current() == 'E')) {
      whole = false;
      ++pos_;
      if (!at_end() && (current() == '+' || current() == '-')) ++pos_;
      if (at_end()) return fail(cut_off);
      char digit = text_[pos_++];
      if (digit < '0' || digit > '9') return fail("invalid number");
      while (!at_end() && current() >= '0' && current() <= '9') ++pos_;
    }
    if (description == nullptr) return true;
    return describe_number(text_.substr(start, pos_ - start), negative, whole, *description);
  }

  bool describe_number(std::string_view literal, bool negative, bool whole, std::string& out) {
    if (whole) {
      const char* begin = literal.data() + (negative ? 1 : 0);
      std::uint64_t magnitude = 0;
      auto [ptr, ec] = std::from_chars(begin, literal.data() + literal.size(), magnitude);
      // A negative zero is no integer: it is described as the float -0.0.
      bool fits = negative ? magnitude != 0 && magnitude <= (std::uint64_t{1} << 63) : true;
      if (ec == std::errc{} && ptr == literal.data() + literal.size() && fits) {
        out = "integer `" + std::string(literal) + "`";
        return true;
      }
    }
    double value = std::strtod(std::string(literal).c_str(), nullptr);
    if (std::isinf(value)) return fail("number out of range");
    out = "floating point `" + format_float(value) + "`";
    return true;
  }

  // --- strings: the opening quote is already read ---
  bool parse_string_body(Text& out) {
    for (;;) {
      // A run of plain characters is taken in one piece.
      std::size_t run = pos_;
      while (run < text_.size() && is_plain(text_[run])) ++run;
      out.append(text_.substr(pos_, run - pos_));
      pos_ = run;
      if (at_end()) return fail("EOF while parsing a string");
      unsigned char c = static_cast<unsigned char>(text_[pos_++]);
      if (c == '"') return true;
      if (c < 0x20) return fail("control character (\\u0000-\\u001F) found while parsing a string");
      if (at_end()) return fail("EOF while parsing a string");
      switch (text_[pos_++]) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u':
          if (!parse_unicode_escape(out)) return false;
          break;
        default: return fail("invalid escape");
      }
    }
  }

  // Neither the closing quote, nor an escape, nor a control character.
  static bool is_plain(char c) { return c != '"' && c != '\\' && static_cast<unsigned char>(c) >= 0x20; }

  bool parse_hex4(std::uint32_t& value) {
    if (pos_ + 4 > text_.size()) {
      pos_ = text_.size();
      return fail("EOF while parsing a string");
    }
    value = 0;
    for (int i = 0; i < 4; ++i) {
      char c = text_[pos_++];
      int digit = hex_digit_value(c);
      if (digit < 0) return fail("invalid escape");
      value = value << 4 | static_cast<std::uint32_t>(digit);
    }
    return true;
  }

  bool parse_unicode_escape(Text& out) {
    std::uint32_t first = 0;
    if (!parse_hex4(first)) return false;
    if (first >= 0xDC00 && first <= 0xDFFF) return fail("lone leading surrogate in hex escape");
    if (first < 0xD800 || first > 0xDBFF) {
      append_code_point(out, first);
      return true;
    }
    for (char expected : {'\\', 'u'}) {
      if (at_end()) return fail("EOF while parsing a string");
      if (text_[pos_++] != expected) return fail("unexpected end of hex escape");
    }
    std::uint32_t second = 0;
    if (!parse_hex4(second)) return false;
    if (second < 0xDC00 || second > 0xDFFF) return fail("lone leading surrogate in hex escape");
    append_code_point(out, 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00));
    return true;
  }

  // --- values of members the request does not know: checked, then dropped ---
  bool skip_value() {
    char c = peek_token();
    if (at_end()) return fail_peeked("EOF while parsing a value");
    switch (c) {
      case 'n': ++pos_; return parse_ident("ull");
      case 't': ++pos_; return parse_ident("rue");
      case 'f': ++pos_; return parse_ident("alse");
      case '"': {
        ++pos_;
        Text ignored;
        return parse_string_body(ignored);
      }
      case '[': return skip_array();
      case '{': return skip_object();
      default:
        if (c == '-' || (c >= '0' && c <= '9')) return parse_number(nullptr);
        return fail_peeked("expected value");
    }
  }

  bool skip_array() {
    if (!enter_nesting()) return false;
    if (peek_token() == '\0' && at_end()) return fail_peeked("EOF while parsing a list");
    if (current() != ']') {
      for (;;) {
        if (!skip_value()) return false;
        char c = peek_token();
        if (at_end()) return fail_peeked("EOF while parsing a list");
        if (c == ']') break;
        if (c != ',') return fail_peeked("expected `,` or `]`");
        ++pos_;
      }
    }
    ++pos_;
    --depth_;
    return true;
  }

  bool skip_object() {
    if (!enter_nesting()) return false;
    if (peek_token() != '}') {
      for (;;) {
        char c = peek_token();
        if (at_end()) return fail_peeked("EOF while parsing an object");
        if (c != '"') return fail_peeked("key must be a string");
        ++pos_;
        Text ignored;
        if (!parse_string_body(ignored) || !parse_colon() || !skip_value()) return false;
        c = peek_token();
        if (at_end()) return fail_peeked("EOF while parsing an object");
        if (c == '}') break;
        if (c != ',') return fail_peeked("expected `,` or `}`");
        ++pos_;
      }
    }
    ++pos_;
    --depth_;
    return true;
  }
};

}  // namespace

std::expected<Request, std::string> parse_request(std::string_view text) {
  return RequestParser(text).run();
}

bool carries_pin(const Request& request) { return request.pin && !request.pin->empty(); }

bool prompts_for_pin(const Request& request, bool from_browser) {
  return !carries_pin(request) && (from_browser || request.pin_prompt);
}

}  // namespace p11agent
