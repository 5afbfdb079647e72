// Helpers shared by the relay and address tests: whole JSON replies and interface entries.
#pragma once

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>
#include <string>

#include "server/static_server.hpp"
#include "server/tests/test_client.hpp"

namespace solvera::test {

// The complete bytes of a JSON reply.
inline std::string jsonReply(const std::string& body, const std::string& status = "200 OK") {
  return "HTTP/1.1 " + status + "\r\nContent-Type: application/json\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\nCache-Control: no-store\r\n\r\n" +
         body;
}

// An interface entry the way getifaddrs reports it.
inline InterfaceAddress interfaceAddress(const std::string& name, int family,
                                         const std::string& text,
                                         unsigned flags = IFF_UP | IFF_RUNNING) {
  sockaddr_storage storage{};
  storage.ss_family = static_cast<sa_family_t>(family);
  void* raw = family == AF_INET
                  ? static_cast<void*>(&reinterpret_cast<sockaddr_in*>(&storage)->sin_addr)
                  : static_cast<void*>(&reinterpret_cast<sockaddr_in6*>(&storage)->sin6_addr);
  if (inet_pton(family, text.c_str(), raw) != 1) throw std::invalid_argument(text);
  return {name, flags, storage};
}

inline InterfaceAddress ipv4(const std::string& name, const std::string& dotted,
                             unsigned flags = IFF_UP | IFF_RUNNING) {
  return interfaceAddress(name, AF_INET, dotted, flags);
}

// Routes with a hand-moved clock and this LAN: Wi-Fi from dir/net, no default route.
inline RouteSettings lanRoutes(FakeClock& clock, const TempDir& dir,
                               std::vector<InterfaceAddress> interfaces) {
  RouteSettings routes;
  routes.clock = &clock;
  routes.network = {[interfaces] { return interfaces; }, dir.path() / "net", dir.path() / "route"};
  return routes;
}

}  // namespace solvera::test
