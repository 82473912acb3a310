#include "common/text.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace tessaly {

namespace {
char LowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
char UpperChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
}  // namespace

std::string ToLower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = LowerChar(c);
  return out;
}

std::string ToUpper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = UpperChar(c);
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerChar(a[i]) != LowerChar(b[i])) return false;
  }
  return true;
}

std::size_t FindNoCase(std::string_view hay, std::string_view needle, std::size_t from) {
  if (needle.empty()) return from <= hay.size() ? from : std::string_view::npos;
  if (hay.size() < needle.size()) return std::string_view::npos;
  const char first = LowerChar(needle[0]);
  for (std::size_t i = from; i + needle.size() <= hay.size(); ++i) {
    if (LowerChar(hay[i]) != first) continue;
    if (EqualsNoCase(hay.substr(i, needle.size()), needle)) return i;
  }
  return std::string_view::npos;
}

bool ContainsNoCase(std::string_view hay, std::string_view needle) {
  return FindNoCase(hay, needle) != std::string_view::npos;
}

std::string_view TrimSpaces(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && s[b] == ' ') ++b;
  while (e > b && s[e - 1] == ' ') --e;
  return s.substr(b, e - b);
}

std::vector<std::string> Split(std::string_view s, std::string_view sep) {
  std::vector<std::string> items;
  if (sep.empty()) {
    items.emplace_back(s);
    return items;
  }
  std::size_t start = 0;
  for (;;) {
    std::size_t at = s.find(sep, start);
    if (at == std::string_view::npos) {
      items.emplace_back(s.substr(start));
      return items;
    }
    items.emplace_back(s.substr(start, at - start));
    start = at + sep.size();
  }
}

std::string Join(const std::vector<std::string>& items, std::string_view sep) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out += sep;
    out += items[i];
  }
  return out;
}

std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(s);
  std::string out;
  out.reserve(s.size());
  std::size_t start = 0;
  for (;;) {
    std::size_t at = s.find(from, start);
    if (at == std::string_view::npos) break;
    out.append(s.substr(start, at - start));
    out.append(to);
    start = at + from.size();
  }
  out.append(s.substr(start));
  return out;
}

std::string PadLeft(std::string_view s, std::size_t width) {
  if (s.size() >= width) return std::string(s);
  return std::string(width - s.size(), ' ') + std::string(s);
}

double LeadingNumber(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  std::size_t start = i;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  std::size_t digits_from = i;
  while (i < s.size() && IsDigit(s[i])) ++i;
  std::size_t int_digits = i - digits_from;
  std::size_t frac_digits = 0;
  if (i < s.size() && s[i] == '.') {
    std::size_t f = i + 1;
    while (f < s.size() && IsDigit(s[f])) ++f;
    frac_digits = f - i - 1;
    if (int_digits + frac_digits > 0) i = f;
  }
  if (int_digits + frac_digits == 0) return 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    std::size_t e = i + 1;
    if (e < s.size() && (s[e] == '+' || s[e] == '-')) ++e;
    std::size_t exp_from = e;
    while (e < s.size() && IsDigit(s[e])) ++e;
    if (e > exp_from) i = e;
  }
  const bool negative = s[start] == '-';
  if (s[start] == '+' || negative) ++start;
  double v = 0;
  auto [end, ec] = std::from_chars(s.data() + start, s.data() + i, v);
  if (ec == std::errc::result_out_of_range) {
    // Beyond a double: a negative exponent or a leading fraction is tiny (0),
    // anything else huge.
    std::string_view digits(s.data() + start, static_cast<std::size_t>(end - (s.data() + start)));
    std::size_t e = digits.find_first_of("eE");
    std::size_t first = digits.find_first_of("123456789");
    std::size_t dot = digits.find('.');
    bool tiny = (e != std::string_view::npos && e + 1 < digits.size() && digits[e + 1] == '-') ||
                (dot != std::string_view::npos && (first == std::string_view::npos || first > dot));
    v = tiny ? 0 : std::numeric_limits<double>::max();
  }
  return negative ? -v : v;
}

double RoundHalfEven(double v) { return std::nearbyint(v); }

std::optional<std::int32_t> LeadingInt32(std::string_view s) {
  double r = RoundHalfEven(LeadingNumber(s));
  if (r < -2147483648.0 || r > 2147483647.0) return std::nullopt;
  return static_cast<std::int32_t>(r);
}

std::string Dec(std::int64_t v) { return std::to_string(v); }

}  // namespace tessaly
