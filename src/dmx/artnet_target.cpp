// Art-Net destination checks.
#include "dmx/artnet_target.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <algorithm>

#include "common/error.hpp"

namespace solvera::dmx {

namespace {
constexpr std::uint16_t kArtNetPort = 6454;
constexpr std::uint32_t kLoopbackNet = 0x7F000000;  // 127.0.0.0/8
constexpr std::uint32_t kLoopbackMask = 0xFF000000;
constexpr std::uint32_t kLimitedBroadcast = 0xFFFFFFFF;
}  // namespace

bool plausibleTargetIp(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-';
  });
}

std::vector<LocalNetwork> localNetworks() {
  std::vector<LocalNetwork> networks;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return networks;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || !i->ifa_netmask || i->ifa_addr->sa_family != AF_INET ||
        !(i->ifa_flags & IFF_UP))
      continue;
    const auto* address = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
    const auto* mask = reinterpret_cast<const sockaddr_in*>(i->ifa_netmask);
    networks.push_back({ntohl(address->sin_addr.s_addr), ntohl(mask->sin_addr.s_addr)});
  }
  ::freeifaddrs(list);
  return networks;
}

sockaddr_in artNetDestination(const std::string& targetIp,
                              const std::vector<LocalNetwork>& networks) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kArtNetPort);
  if (::inet_pton(AF_INET, targetIp.c_str(), &address.sin_addr) != 1) {
    throw ErrorException("SolveraArtNet", 400, "Ongeldig Art-Net IP-adres.");
  }
  const std::uint32_t target = ntohl(address.sin_addr.s_addr);
  // A subnet's own address and its broadcast address are inside it; a network with a /32 mask
  // is just the machine's own address.
  auto inside = [target](std::uint32_t net, std::uint32_t mask) {
    return (target & mask) == (net & mask);
  };
  // The limited broadcast never leaves the local link.
  bool allowed = target == kLimitedBroadcast || inside(kLoopbackNet, kLoopbackMask) ||
                 std::any_of(networks.begin(), networks.end(), [&](const LocalNetwork& n) {
                   return n.netmask != 0 && inside(n.address, n.netmask);
                 });
  if (!allowed) {
    throw ErrorException(
        "SolveraArtNet", 403,
        "Art-Net-adres " + targetIp +
            " ligt niet in het eigen netwerk. Kies een lamp of node in een subnet van deze "
            "computer, het broadcastadres van dat subnet of 127.0.0.1.");
  }
  return address;
}

}  // namespace solvera::dmx
