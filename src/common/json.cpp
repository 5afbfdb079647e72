// JSON helpers.
#include "common/json.hpp"

namespace solvera {
namespace {

// Deeper documents are refused before parsing: copying or writing a parsed tree recurses once
// per level, and a few hundred thousand levels would overflow the stack.
constexpr int kMaxJsonDepth = 512;

bool nestsTooDeep(std::string_view bytes) {
  int depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    char c = bytes[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxJsonDepth) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

template <typename J>
std::optional<J> parse(std::string_view bytes, std::string* error) {
  // The parser reads a NUL byte as the end of the input, which would accept "{}\0garbage";
  // a NUL is never valid anywhere in a JSON text.
  if (bytes.find('\0') != std::string_view::npos) {
    if (error) *error = "JSON text contains a NUL byte";
    return std::nullopt;
  }
  if (nestsTooDeep(bytes)) {
    if (error) *error = "JSON nested more than 512 levels deep";
    return std::nullopt;
  }
  try {
    return J::parse(bytes.begin(), bytes.end());
  } catch (const nlohmann::json::exception& e) {
    if (error) *error = e.what();
    return std::nullopt;
  }
}

template <typename J>
std::optional<std::string> dump(const J& value) {
  try {
    return value.dump();
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;  // invalid UTF-8 in a text
  }
}

}  // namespace

std::optional<Json> parseJson(std::string_view bytes, std::string* error) {
  return parse<Json>(bytes, error);
}
std::optional<OrderedJson> parseOrderedJson(std::string_view bytes, std::string* error) {
  return parse<OrderedJson>(bytes, error);
}
std::optional<std::string> compactJson(const Json& value) { return dump(value); }
std::optional<std::string> compactJson(const OrderedJson& value) { return dump(value); }

bool isValidUtf8(std::string_view bytes) {
  // Like g_utf8_validate, but a NUL byte is a valid character here.
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
  auto cont = [&](std::size_t k) { return k < n && (at(k) & 0xC0) == 0x80; };
  while (i < n) {
    unsigned char c = at(i);
    if (c < 0x80) {
      ++i;
    } else if (c >= 0xC2 && c <= 0xDF) {
      if (!cont(i + 1)) return false;
      i += 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      if (!cont(i + 1) || !cont(i + 2)) return false;
      unsigned char c1 = at(i + 1);
      if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F)) return false;  // overlong, surrogate
      i += 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      if (!cont(i + 1) || !cont(i + 2) || !cont(i + 3)) return false;
      unsigned char c1 = at(i + 1);
      if ((c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 > 0x8F)) return false;
      i += 4;
    } else {
      return false;
    }
  }
  return true;
}

std::string javascriptString(std::string_view text) {
  if (!isValidUtf8(text)) return "\"\"";
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '/': out += "\\/"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (u < 0x20) {
          out += "\\u00";
          out.push_back(kHex[u >> 4]);
          out.push_back(kHex[u & 0x0f]);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace solvera
