// Shared by the relay targets: the check every relay reply must pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "common/json.hpp"

namespace solvera::fuzzing {

// The relays' port when no server listens.
inline std::uint16_t noPort() { return 0; }

// A complete HTTP reply whose body is one JSON document: the pages parse every reply.
inline void checkJsonReply(const std::string& reply) {
  if (!reply.starts_with("HTTP/1.1 ")) std::abort();
  const auto head = reply.find("\r\n\r\n");
  if (head == std::string::npos) std::abort();
  const std::string_view body = std::string_view(reply).substr(head + 4);
  if (body.find('\0') != std::string_view::npos || !Json::accept(body.begin(), body.end())) {
    std::abort();
  }
}

// The input as a sequence of requests, pieces separated by a line "--" that the seeds keep
// apart from their JSON. A piece's first byte picks the request, the rest is its text; handle
// answers it, and every answer must be a JSON reply.
template <typename Handle>
void forEachRequest(const std::uint8_t* data, std::size_t size, Handle&& handle) {
  constexpr std::string_view kSeparator = "\n--\n";
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  while (!bytes.empty()) {
    const auto end = bytes.find(kSeparator);
    const std::string_view piece = bytes.substr(0, end);
    if (!piece.empty()) {
      const std::optional<std::string> reply =
          handle(static_cast<unsigned char>(piece[0]), std::string(piece.substr(1)));
      if (!reply) std::abort();
      checkJsonReply(*reply);
    }
    if (end == std::string_view::npos) return;
    bytes.remove_prefix(end + kSeparator.size());
  }
}

}  // namespace solvera::fuzzing
