// Replies and checks shared by the remote-control and screen-light relays.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/json.hpp"
#include "http/http.hpp"

namespace solvera::relay {

inline std::string invalidToken() {
  return http::jsonResponse(OrderedJson{{"ok", false}, {"error", "invalid_token"}},
                            "403 Forbidden");
}

inline std::string invalidJson() {
  return http::jsonResponse(OrderedJson{{"ok", false}, {"error", "invalid_json"}},
                            "400 Bad Request");
}

// Whether the bytes are one JSON object or array, and nothing else. Validated without building
// a tree: state documents arrive several times a second and are stored as bytes anyway.
inline bool isJsonDocument(std::string_view bytes) {
  std::size_t at = bytes.starts_with("\xEF\xBB\xBF") ? 3 : 0;
  while (at < bytes.size() && (bytes[at] == ' ' || bytes[at] == '\t' || bytes[at] == '\n' ||
                               bytes[at] == '\r')) {
    ++at;
  }
  if (at == bytes.size() || (bytes[at] != '{' && bytes[at] != '[')) return false;
  // The parser reads a NUL byte as the end of the input and would pass "{}\0garbage" on.
  if (bytes.find('\0') != std::string_view::npos) return false;
  return Json::accept(bytes.begin(), bytes.end());
}

// A millisecond time stamp as a JSON number: whole values without a ".0", fractions kept.
inline OrderedJson msNumber(double ms) {
  if (std::isfinite(ms) && std::trunc(ms) == ms && std::fabs(ms) < 9.0e15) {
    return static_cast<std::int64_t>(ms);
  }
  return ms;
}

}  // namespace solvera::relay
