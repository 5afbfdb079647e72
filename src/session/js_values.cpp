// The page's value rules: trimming, rounding, number reading and text cutting as its scripts do.
#include "session/js_values.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

namespace solvera::session {
namespace {


// The code point starting at text[i] and its length in bytes; malformed bytes count as one
// byte of U+FFFD (the JSON reader only hands over valid UTF-8).
std::pair<char32_t, std::size_t> codePointAt(std::string_view text, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  std::size_t length = b0 < 0x80 ? 1 : (b0 >> 5) == 0x6 ? 2 : (b0 >> 4) == 0xE ? 3 : (b0 >> 3) == 0x1E ? 4 : 0;
  if (length == 0 || i + length > text.size()) return {0xFFFD, 1};
  char32_t cp = length == 1 ? b0 : length == 2 ? (b0 & 0x1F) : length == 3 ? (b0 & 0x0F) : (b0 & 0x07);
  for (std::size_t k = 1; k < length; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
  return {cp, length};
}

bool isJsSpace(char32_t c) {
  switch (c) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20: case 0xA0: case 0x1680:
    case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000: case 0xFEFF:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

// The start of the code point that ends at `end` (exclusive).
std::size_t previousStart(std::string_view text, std::size_t end) {
  std::size_t i = end - 1;
  while (i > 0 && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80 && end - i < 4) --i;
  return i;
}

bool allDigits(std::string_view text, int base) {
  if (text.empty()) return false;
  for (char c : text) {
    int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : 99;
    if (v >= base) return false;
  }
  return true;
}

double integerInBase(std::string_view digits, int base) {
  double value = 0;
  for (char c : digits) {
    int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c - 'A' + 10;
    value = value * base + v;
  }
  return value;
}

// [digits][.digits][e[+-]digits] with at least one digit before the exponent.
bool isDecimalLiteral(std::string_view t) {
  std::size_t i = 0;
  std::size_t mantissaDigits = 0;
  while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i, ++mantissaDigits;
  if (i < t.size() && t[i] == '.') {
    ++i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i, ++mantissaDigits;
  }
  if (mantissaDigits == 0) return false;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    std::size_t exponentDigits = 0;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i, ++exponentDigits;
    if (exponentDigits == 0) return false;
  }
  return i == t.size();
}

}  // namespace

std::string_view jsTrim(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    auto [cp, length] = codePointAt(text, begin);
    if (!isJsSpace(cp)) break;
    begin += length;
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = previousStart(text, end);
    if (!isJsSpace(codePointAt(text, start).first)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

double jsRound(double value) {
  if (!std::isfinite(value)) return value;
  double floor = std::floor(value);
  return value - floor >= 0.5 ? floor + 1.0 : floor;
}

double parseDecimal(std::string_view digits) {
  double value = kNaN;
  std::from_chars(digits.data(), digits.data() + digits.size(), value);
  return value;
}

double jsNumberFromText(std::string_view raw) {
  std::string_view t = jsTrim(raw);
  if (t.empty()) return 0.0;
  if (t.size() > 2 && t[0] == '0') {
    int base = (t[1] == 'x' || t[1] == 'X') ? 16 : (t[1] == 'o' || t[1] == 'O') ? 8 : (t[1] == 'b' || t[1] == 'B') ? 2 : 0;
    if (base != 0) return allDigits(t.substr(2), base) ? integerInBase(t.substr(2), base) : kNaN;
  }
  double sign = 1.0;
  if (t[0] == '+' || t[0] == '-') {
    sign = t[0] == '-' ? -1.0 : 1.0;
    t.remove_prefix(1);
  }
  if (t == "Infinity") return sign * std::numeric_limits<double>::infinity();
  if (!isDecimalLiteral(t)) return kNaN;
  // from_chars wants a digit before the point.
  std::string text = t[0] == '.' ? "0" + std::string(t) : std::string(t);
  double value = kNaN;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error == std::errc::result_out_of_range) {
    // Overflow reads as Infinity, underflow as 0, as the script does.
    bool large = text.find_first_of("eE") == std::string::npos || text[text.find_first_of("eE") + 1] != '-';
    value = large ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return sign * value;
}

double jsNumber(const Json* value) {
  if (value == nullptr) return kNaN;
  if (value->is_null()) return 0.0;
  if (value->is_boolean()) return value->get<bool>() ? 1.0 : 0.0;
  if (value->is_number()) return value->get<double>();
  if (value->is_string()) return jsNumberFromText(value->get_ref<const std::string&>());
  return kNaN;
}

std::string jsSlice(std::string_view utf8, std::size_t limitUnits) {
  std::size_t units = 0;
  std::size_t i = 0;
  while (i < utf8.size()) {
    auto [cp, length] = codePointAt(utf8, i);
    std::size_t need = cp >= 0x10000 ? 2 : 1;
    if (units + need > limitUnits) break;
    units += need;
    i += length;
  }
  return std::string(utf8.substr(0, i));
}

std::string jsNumberText(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  if (value == 0) return "0";
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  std::string sign;
  if (text.front() == '-') {
    sign = "-";
    text.remove_prefix(1);
  }
  const std::size_t e = text.find('e');
  std::string digits(text.substr(0, e));
  if (digits.size() > 1) digits.erase(1, 1);  // the point after the first digit
  int exponent = 0;
  std::from_chars(text.data() + e + 1 + (text[e + 1] == '+' ? 1 : 0), text.data() + text.size(), exponent);
  const int k = static_cast<int>(digits.size());
  const int n = exponent + 1;
  std::string out;
  if (k <= n && n <= 21) {
    out = digits + std::string(static_cast<std::size_t>(n - k), '0');
  } else if (0 < n && n <= 21) {
    out = digits.substr(0, static_cast<std::size_t>(n)) + "." + digits.substr(static_cast<std::size_t>(n));
  } else if (-6 < n && n <= 0) {
    out = "0." + std::string(static_cast<std::size_t>(-n), '0') + digits;
  } else {
    out = digits.substr(0, 1);
    if (k > 1) out += "." + digits.substr(1);
    out += (n - 1 >= 0 ? "e+" : "e-") + std::to_string(std::abs(n - 1));
  }
  return sign + out;
}

bool numberIn(const Json* value, double lo, double hi) {
  if (value == nullptr || !value->is_number()) return false;
  double v = value->get<double>();
  return std::isfinite(v) && v >= lo && v <= hi;
}

const Json* memberOf(const Json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

OrderedJson jsonNumber(double value) {
  if (!std::isfinite(value)) return nullptr;
  if (value == std::trunc(value) && std::fabs(value) < 9.0e15) return static_cast<std::int64_t>(value);
  return value;
}

}  // namespace solvera::session
