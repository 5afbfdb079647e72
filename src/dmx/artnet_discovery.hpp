// Finding Art-Net nodes: an ArtPoll to this machine's subnet broadcasts (and to loopback), and
// the ArtPollReply packets that come back within a short window, merged per node. Replies from
// outside this machine's networks, or naming an address outside them, are ignored: the light is
// never sent there anyway.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.hpp"
#include "common/serial_queue.hpp"
#include "dmx/artnet_target.hpp"
#include "dmx/dmx_wire.hpp"

namespace solvera::dmx {

struct DiscoveredNode {
  std::string ip;  // dotted
  std::string name;
  std::string shortName;
  std::vector<std::uint16_t> universes;  // port addresses of its DMX outputs, ascending
  std::string status;                    // the node's own report text
  friend bool operator==(const DiscoveredNode&, const DiscoveredNode&) = default;
};

// Adds one reply from `source` (host byte order) to the nodes found so far: a reply from, or
// naming, an address outside this machine's networks is ignored (false); replies of one node
// (large nodes send one per group of four ports) are merged.
bool addReply(std::vector<DiscoveredNode>& nodes, const ArtNode& reply, std::uint32_t source,
              const std::vector<LocalNetwork>& networks);

// Where ArtPoll goes: the broadcast address of every subnet of this machine, and 127.0.0.1.
std::vector<std::string> defaultPollTargets();

class ArtNetDiscovery {
 public:
  struct Settings {
    // Where replies arrive: Art-Net nodes answer to port 6454.
    std::string bindAddress = "0.0.0.0";
    std::uint16_t bindPort = 6454;
    std::function<std::vector<std::string>()> pollTargets = defaultPollTargets;
    std::function<std::vector<LocalNetwork>()> networks = localNetworks;
    // How long replies are awaited after the ArtPoll.
    std::chrono::milliseconds window{1500};
    // A poll younger than this is answered from what it found.
    std::chrono::milliseconds freshFor{5000};
  };
  using Done = std::function<void(const std::vector<DiscoveredNode>&)>;

  ArtNetDiscovery();
  explicit ArtNetDiscovery(Settings settings, Clock& clock = systemClock());
  ~ArtNetDiscovery();
  ArtNetDiscovery(const ArtNetDiscovery&) = delete;
  ArtNetDiscovery& operator=(const ArtNetDiscovery&) = delete;

  // Hands the nodes to done, on the discovery's own thread: those of the last poll when it is
  // fresh (and `again` is false), else those of a new poll once its window is over. Returns at
  // once; requests that come during a poll are answered from it.
  void nodes(bool again, Done done);

 private:
  void poll();

  Settings settings_;
  Clock& clock_;
  std::optional<std::int64_t> polledNs_;
  std::vector<DiscoveredNode> found_;
  SerialQueue queue_{"solvera.artnet-discovery"};  // last: its thread goes first
};

}  // namespace solvera::dmx
