// The headband bridge's output bytes, in reads of any size: every accepted event is one JSON
// object in valid UTF-8, and the unfinished line never outgrows its limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "bridge/bridge_lines.hpp"
#include "common/json.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // The first byte picks the read size, so that lines split across reads in every way.
  const std::size_t chunk = 1 + data[0] % 64;
  std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  solvera::BridgeLineBuffer buffer(256);
  for (std::size_t at = 0; at < bytes.size(); at += chunk) {
    buffer.append(bytes.substr(at, chunk), [](std::string_view event) {
      if (event.size() < 2 || event.front() != '{' || event.back() != '}') std::abort();
      if (!solvera::isValidUtf8(event)) std::abort();
      if (solvera::trimWhitespace(event) != event) std::abort();
      auto parsed = solvera::parseJson(event);
      if (!parsed || !parsed->is_object()) std::abort();
    });
    if (buffer.bufferedBytes() > 256) std::abort();
  }
  return 0;
}
