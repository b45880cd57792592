#include "text/punycode.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "text/utf8.h"

namespace p11agent {

namespace {

// RFC 3492's parameters for IDNA.
constexpr std::uint32_t BASE = 36, T_MIN = 1, T_MAX = 26, SKEW = 38, DAMP = 700, INITIAL_BIAS = 72, INITIAL_N = 128;

char digit_of(std::uint32_t value) { return static_cast<char>(value < 26 ? 'a' + value : '0' + (value - 26)); }

std::uint32_t adapt(std::uint32_t delta, std::uint32_t points, bool first) {
  delta = first ? delta / DAMP : delta / 2;
  delta += delta / points;
  std::uint32_t k = 0;
  while (delta > ((BASE - T_MIN) * T_MAX) / 2) {
    delta /= BASE - T_MIN;
    k += BASE;
  }
  return k + (BASE - T_MIN + 1) * delta / (delta + SKEW);
}

// The label's Punycode (without "xn--"); nullopt where a count would overflow.
std::optional<std::string> punycode(const std::vector<std::uint32_t>& points) {
  std::string out;
  for (std::uint32_t c : points)
    if (c < 0x80) out += ascii_lower(static_cast<char>(c));
  const std::uint32_t basic = static_cast<std::uint32_t>(out.size());
  if (basic > 0) out += '-';
  std::uint32_t n = INITIAL_N, delta = 0, bias = INITIAL_BIAS, handled = basic;
  while (handled < points.size()) {
    std::uint32_t next = UINT32_MAX;
    for (std::uint32_t c : points)
      if (c >= n && c < next) next = c;
    if ((next - n) > (UINT32_MAX - delta) / (handled + 1)) return std::nullopt;
    delta += (next - n) * (handled + 1);
    n = next;
    for (std::uint32_t c : points) {
      if (c < n && ++delta == 0) return std::nullopt;
      if (c != n) continue;
      std::uint32_t q = delta;
      for (std::uint32_t k = BASE;; k += BASE) {
        const std::uint32_t t = k <= bias ? T_MIN : k >= bias + T_MAX ? T_MAX : k - bias;
        if (q < t) break;
        out += digit_of(t + (q - t) % (BASE - t));
        q = (q - t) / (BASE - t);
      }
      out += digit_of(q);
      bias = adapt(delta, handled + 1, handled == basic);
      delta = 0;
      ++handled;
    }
    ++delta;
    ++n;
  }
  return out;
}

}  // namespace

std::optional<std::string> ascii_host(std::string_view host) {
  if (!is_valid_utf8(host)) return std::nullopt;
  std::string out;
  std::size_t start = 0;
  while (start <= host.size()) {
    const std::size_t end = std::min(host.find('.', start), host.size());
    const std::string_view label = host.substr(start, end - start);
    if (std::ranges::all_of(label, [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
      out += ascii_lowercase(label);
    } else {
      std::vector<std::uint32_t> points;
      for (std::size_t i = 0, length = 0; i < label.size(); i += length) points.push_back(code_point_at(label, i, length));
      auto encoded = punycode(points);
      if (!encoded) return std::nullopt;
      out += "xn--" + *encoded;
    }
    if (end == host.size()) break;
    out += '.';
    start = end + 1;
  }
  return out;
}

}  // namespace p11agent
