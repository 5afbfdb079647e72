// The page's value rules in C++: how its scripts trim, round, read numbers and cut texts, so
// that sessions and settings read here come out as the page reads them.
#pragma once

#include <limits>
#include <string>
#include <string_view>

#include "common/json.hpp"

namespace solvera::session {

// What the scripts' NaN is: an unreadable number.
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// String.prototype.trim: removes white space and line ends at both ends, Unicode's included.
std::string_view jsTrim(std::string_view text);

// Math.round: halves go up (towards +infinity), also for negative numbers.
double jsRound(double value);

// Number(value) for the JSON types: numbers as they are, booleans 0/1, null 0, texts by the
// script's rules (trimmed, empty is 0, decimal with exponent, Infinity, 0x/0o/0b integers),
// arrays and objects NaN. An absent value (nullptr) is NaN as undefined is.
double jsNumber(const Json* value);
double jsNumberFromText(std::string_view text);

// parseFloat of a text that is already known to be digits with one optional "." inside.
double parseDecimal(std::string_view digits);

// text.slice(0, limit): the first `limit` UTF-16 code units. A character that would be cut in
// half (outside the basic plane) is left out whole.
std::string jsSlice(std::string_view utf8, std::size_t limitUnits);

// String(number): the shortest text that reads back as the same number.
std::string jsNumberText(double value);

// A number as JSON.stringify writes it: whole numbers as integers ("20", not "20.0"), and
// NaN or an infinity as null.
OrderedJson jsonNumber(double value);

// Whether a JSON value is a finite number within [lo, hi] (typeof === 'number' too).
bool numberIn(const Json* value, double lo, double hi);

// The member, or nullptr when absent; JSON null is returned as a value (it is not undefined).
const Json* memberOf(const Json& object, std::string_view key);

}  // namespace solvera::session
