// Art-Net destination checks.
#include "dmx/artnet_target.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <algorithm>

#include "common/error.hpp"
#include "dmx/sacn_wire.hpp"

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

bool ownNetworkAddress(std::uint32_t target, const std::vector<LocalNetwork>& networks) {
  // A subnet's own address and its broadcast address are inside it; a network with a /32 mask
  // is just the machine's own address.
  auto inside = [target](std::uint32_t net, std::uint32_t mask) {
    return (target & mask) == (net & mask);
  };
  return target == kLimitedBroadcast || inside(kLoopbackNet, kLoopbackMask) ||
         std::any_of(networks.begin(), networks.end(), [&](const LocalNetwork& n) {
           return n.netmask != 0 && inside(n.address, n.netmask);
         });
}

sockaddr_in artNetDestination(const std::string& targetIp,
                              const std::vector<LocalNetwork>& networks) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kArtNetPort);
  if (::inet_pton(AF_INET, targetIp.c_str(), &address.sin_addr) != 1) {
    throw ErrorException("SolveraArtNet", 400, "Ongeldig Art-Net IP-adres.");
  }
  if (!ownNetworkAddress(ntohl(address.sin_addr.s_addr), networks)) {
    throw ErrorException(
        "SolveraArtNet", 403,
        "Art-Net-adres " + targetIp +
            " ligt niet in het eigen netwerk. Kies een lamp of node in een subnet van deze "
            "computer, het broadcastadres van dat subnet of 127.0.0.1.");
  }
  return address;
}

sockaddr_in sacnDestination(const std::string& targetIp, std::uint16_t universe,
                            const std::vector<LocalNetwork>& networks) {
  constexpr const char* kDomain = "SolveraSacn";
  if (universe < kSacnMinUniverse || universe > kSacnMaxUniverse) {
    throw ErrorException(kDomain, 400, "Een sACN-universe ligt tussen 1 en 63999.");
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kSacnPort);
  if (targetIp.empty()) {
    address.sin_addr.s_addr = htonl(sacnMulticastGroup(universe));
    return address;
  }
  if (::inet_pton(AF_INET, targetIp.c_str(), &address.sin_addr) != 1) {
    throw ErrorException(kDomain, 400, "Ongeldig sACN IP-adres.");
  }
  const std::uint32_t target = ntohl(address.sin_addr.s_addr);
  const bool multicast = (target & 0xF0000000U) == 0xE0000000U;
  const std::uint32_t groupUniverse = target & 0xFFFFU;
  const bool allowed = multicast ? (target & 0xFFFF0000U) == 0xEFFF0000U && groupUniverse >= kSacnMinUniverse &&
                                       groupUniverse <= kSacnMaxUniverse
                                 : ownNetworkAddress(target, networks);
  if (!allowed) {
    throw ErrorException(kDomain, 403,
                         "sACN-adres " + targetIp +
                             " ligt niet in het eigen netwerk. Laat het adres leeg voor multicast, of kies "
                             "een ontvanger in een subnet van deze computer of 127.0.0.1.");
  }
  return address;
}

}  // namespace solvera::dmx
