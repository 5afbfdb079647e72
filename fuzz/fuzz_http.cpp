// Fuzzes request framing, the request parser and the route table on raw bytes.
#include <cstdint>
#include <filesystem>
#include <string_view>

#include "http/http.hpp"
#include "server/static_server.hpp"

namespace {

solvera::StaticServer& server() {
  static auto instance = [] {
    auto root = std::filesystem::temp_directory_path() / "solvera-fuzz-root";
    std::filesystem::create_directories(root / "public");
    return solvera::StaticServer::create({root / "public", root / "library", 0},
                                         solvera::standardRoutes({}));
  }();
  return *instance;
}

// Routes that reach lamps, the sound card or outside services are left to their own tests:
// random bytes must not put packets on a network (the node search polls the subnets) nor
// start a session or a render.
bool reachesDevicesOrNetwork(const solvera::http::RequestInfo& r) {
  return r.path.starts_with("/dmx") || r.path.starts_with("/audio/") ||
         r.path.starts_with("/openai/") || r.path.starts_with("/session/") ||
         r.path == "/marketplace/submissions" || r.path == "/affiliate-profile";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  (void)solvera::http::requestDataIsComplete(bytes);
  auto info = solvera::http::requestInfo(bytes);
  (void)solvera::http::queryValue("token", info.query);
  if (!reachesDevicesOrNetwork(info)) {
    auto reply = server().response(bytes);
    if (!reply.starts_with("HTTP/1.1 ")) __builtin_trap();
  }
  return 0;
}
