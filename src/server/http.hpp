// HTTP request framing, parsing and reply building on bytes; no sockets here.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "common/json.hpp"

namespace solvera::http {

inline constexpr std::int64_t kMaxRequestBytes = 524288;
inline constexpr std::size_t kReadChunkBytes = 65536;

struct RequestInfo {
  std::string method;
  std::string path;   // before the first "?", undecoded; "/" becomes "/index.html"
  std::string query;  // after the first "?", undecoded
  std::map<std::string, std::string> headers;  // names lower-cased; the first of a repeat wins
  std::string body;

  // The header's value, or nothing.
  std::optional<std::string> header(const std::string& lowerName) const;
};

// True once the bytes hold a whole head and as many body bytes as its Content-Length says.
bool requestDataIsComplete(std::string_view bytes);

// Parses one request; anything unparsable reads as GET "/index.html".
RequestInfo requestInfo(std::string_view bytes);

std::string httpResponse(std::string_view status, std::string_view contentType,
                         std::string_view body);
std::string jsonResponse(const Json& object, std::string_view status = "200 OK");
std::string jsonResponse(const OrderedJson& object, std::string_view status = "200 OK");

// The undecoded value of the first pair named name; nothing when absent or without "=".
std::optional<std::string> queryValue(std::string_view name, std::string_view query);

std::string mimeType(const std::filesystem::path& file);

// Percent-decoding of a path; nothing on a malformed escape or a result that is not UTF-8.
std::optional<std::string> percentDecode(std::string_view text);

// The file reply for a request path, kept inside root or, for "/music-library/...", inside
// the music library, also against ".." and symbolic links.
std::string staticResponse(std::string_view path, const std::filesystem::path& root,
                           const std::filesystem::path& musicLibrary);

}  // namespace solvera::http
