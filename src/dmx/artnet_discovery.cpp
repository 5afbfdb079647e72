// ArtPoll, the reply window and the filter of replies.
#include "dmx/artnet_discovery.hpp"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace solvera::dmx {
namespace {

std::string dotted(std::uint32_t address) {
  in_addr in{htonl(address)};
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &in, text, sizeof text);
  return text;
}

// A UDP socket for the poll and its replies; -1 when none could be made.
int replySocket(const std::string& address, std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) return -1;
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
  // Other Art-Net programs on this machine may listen on the port as well.
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    // Someone holds the port alone: nodes that answer to the poll's own port are still heard.
    local.sin_port = 0;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
      ::close(fd);
      return -1;
    }
  }
  return fd;
}

}  // namespace

bool addReply(std::vector<DiscoveredNode>& nodes, const ArtNode& reply, std::uint32_t source,
              const std::vector<LocalNetwork>& networks) {
  const std::uint32_t address = reply.address != 0 ? reply.address : source;
  if (!ownNetworkAddress(source, networks) || !ownNetworkAddress(address, networks) || address == 0xFFFFFFFFU) {
    return false;
  }
  const std::string ip = dotted(address);
  auto node = std::find_if(nodes.begin(), nodes.end(), [&](const DiscoveredNode& n) { return n.ip == ip; });
  if (node == nodes.end()) {
    node = nodes.insert(nodes.end(), DiscoveredNode{ip, "", "", {}, ""});
  }
  // The first of a large node's replies (bind index 0 or 1) carries its names.
  if (node->name.empty() || reply.bindIndex <= 1) {
    if (!reply.longName.empty() || !reply.shortName.empty()) {
      node->name = reply.longName.empty() ? reply.shortName : reply.longName;
      node->shortName = reply.shortName;
    }
    if (!reply.report.empty()) node->status = reply.report;
  }
  for (std::uint16_t universe : reply.universes) {
    if (std::find(node->universes.begin(), node->universes.end(), universe) == node->universes.end()) {
      node->universes.push_back(universe);
    }
  }
  std::sort(node->universes.begin(), node->universes.end());
  return true;
}

std::vector<std::string> defaultPollTargets() {
  std::vector<std::string> targets;
  for (const LocalNetwork& network : localNetworks()) {
    if ((network.address & 0xFF000000U) == 0x7F000000U || network.netmask == 0xFFFFFFFFU) continue;
    const std::string broadcast = dotted(network.address | ~network.netmask);
    if (std::find(targets.begin(), targets.end(), broadcast) == targets.end()) targets.push_back(broadcast);
  }
  targets.push_back("127.0.0.1");
  return targets;
}

ArtNetDiscovery::ArtNetDiscovery() : ArtNetDiscovery(Settings{}) {}

ArtNetDiscovery::ArtNetDiscovery(Settings settings, Clock& clock) : settings_(std::move(settings)), clock_(clock) {}

ArtNetDiscovery::~ArtNetDiscovery() { queue_.shutdown(); }

void ArtNetDiscovery::nodes(bool again, Done done) {
  const std::int64_t asked = clock_.monotonicNs();
  queue_.post([this, again, asked, done = std::move(done)] {
    // A poll that began after this request was made is as fresh as one it could ask for.
    const bool fresh = polledNs_ && (again ? *polledNs_ >= asked
                                           : clock_.monotonicNs() - *polledNs_ <
                                                 std::chrono::nanoseconds(settings_.freshFor).count());
    if (!fresh) poll();
    done(found_);
  });
}

void ArtNetDiscovery::poll() {
  polledNs_ = clock_.monotonicNs();
  found_.clear();
  const int fd = replySocket(settings_.bindAddress, settings_.bindPort);
  if (fd < 0) return;
  const auto networks = settings_.networks();
  const auto packet = artPollPacket();
  for (const std::string& target : settings_.pollTargets()) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(6454);
    if (::inet_pton(AF_INET, target.c_str(), &to.sin_addr) != 1) continue;
    // One unreachable subnet does not stop the others.
    ::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }
  const auto end = std::chrono::steady_clock::now() + settings_.window;
  std::vector<std::uint8_t> buffer(1500);
  for (auto now = std::chrono::steady_clock::now(); now < end; now = std::chrono::steady_clock::now()) {
    pollfd readable{fd, POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
    if (::poll(&readable, 1, static_cast<int>(std::max<std::int64_t>(left, 1))) <= 0) continue;
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t n = ::recvfrom(fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (n <= 0) continue;
    if (auto reply = parseArtPollReply(std::span(buffer.data(), static_cast<std::size_t>(n)))) {
      addReply(found_, *reply, ntohl(from.sin_addr.s_addr), networks);
    }
  }
  ::close(fd);
}

}  // namespace solvera::dmx
