// JSON helpers over nlohmann/json: strict parsing, compact writing, script string literals.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

#include "common/json_fwd.hpp"

namespace solvera {


// Parses bytes as one JSON document; nothing on any syntax error. The error text, when
// wanted, is the parser's description.
std::optional<Json> parseJson(std::string_view bytes, std::string* error = nullptr);
std::optional<OrderedJson> parseOrderedJson(std::string_view bytes, std::string* error = nullptr);

// Compact serialisation (no white space); nothing when a text is not valid UTF-8.
std::optional<std::string> compactJson(const Json& value);
std::optional<std::string> compactJson(const OrderedJson& value);

// The text as a complete double-quoted script string literal, escaped the way the JSON
// writer of the page bridge escapes (solidus too, so "</script>" cannot end a script block).
// Invalid UTF-8 gives "\"\"".
std::string javascriptString(std::string_view text);

// Whether the bytes are valid UTF-8.
bool isValidUtf8(std::string_view bytes);

}  // namespace solvera
