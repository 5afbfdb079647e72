// The one check of network light destinations (Art-Net and sACN): what a target text must look
// like and which addresses the outputs may send to.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace solvera::dmx {

// Letters, digits, dots and hyphens only: dotted addresses and names pass, a port suffix,
// spaces or an empty text do not.
bool plausibleTargetIp(std::string_view text);

// An IPv4 network of this machine, in host byte order.
struct LocalNetwork {
  std::uint32_t address = 0;
  std::uint32_t netmask = 0;
};
// The IPv4 networks of the interfaces that are up.
std::vector<LocalNetwork> localNetworks();

// Whether an IPv4 address (host byte order) is one the light may be sent to: this machine's own
// (loopback), an address in one of its subnets (their broadcast addresses included), or the
// limited broadcast 255.255.255.255, which never leaves the local link.
bool ownNetworkAddress(std::uint32_t address, const std::vector<LocalNetwork>& networks);

// The UDP destination (port 6454) for a dotted-decimal IPv4 text. Only this machine's own
// addresses (loopback), its subnets, their broadcast addresses and the limited broadcast
// 255.255.255.255 (which stays on the local link) are destinations: the light
// must never be pointed at someone else's network. Throws ErrorException ("SolveraArtNet",
// 400 for a text that is no IPv4 address, 403 for one outside). No name lookups: they could
// block every tick.
sockaddr_in artNetDestination(const std::string& targetIp,
                              const std::vector<LocalNetwork>& networks);

// The sACN destination (port 5568) of a universe: its E1.31 multicast group when targetIp is
// empty, else the unicast (or broadcast) address under the rule of ownNetworkAddress; a
// multicast targetIp must be an E1.31 group (239.255.0.1 to 239.255.249.255). Throws
// ErrorException ("SolveraSacn", 400 for a universe outside 1..63999 or a text that is no IPv4
// address, 403 for an address outside).
sockaddr_in sacnDestination(const std::string& targetIp, std::uint16_t universe,
                            const std::vector<LocalNetwork>& networks);

}  // namespace solvera::dmx
