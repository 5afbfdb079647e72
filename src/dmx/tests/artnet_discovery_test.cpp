// Finding Art-Net nodes: ArtPollReply parsing from bytes written as a node writes them, the
// filter of foreign addresses, and a poll answered by fake nodes on loopback addresses.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>

#include "dmx/artnet_discovery.hpp"
#include "dmx/dmx_wire.hpp"
#include "dmx/tests/dmx_test_support.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace artnet_discovery_test {

using namespace solvera;
using namespace solvera::dmx;
using namespace solvera::dmx::test;


TEST(ArtPollReply, ParsesWhatANodeWritesAndRefusesTheRest) {
  const Bytes reply = artPollReplyBytes({10, 0, 0, 7}, "Node 7", "Living room node");
  ASSERT_EQ(reply.size(), 239u);
  auto node = parseArtPollReply(reply);
  ASSERT_TRUE(node);
  EXPECT_EQ(node->address, 0x0A000007u);
  EXPECT_EQ(node->shortName, "Node 7");
  EXPECT_EQ(node->longName, "Living room node");
  EXPECT_EQ(node->report, "#0001 [0042] Power On Tests successful");
  // Port address = net << 8 | sub-net << 4 | SwOut; the input-only third port is not a universe.
  EXPECT_EQ(node->universes, (std::vector<std::uint16_t>{0x120, 0x121, 0x123}));
  EXPECT_EQ(node->bindIndex, 1);

  EXPECT_TRUE(parseArtPollReply(Bytes(reply.begin(), reply.begin() + 207))) << "the shortest reply to accept";
  EXPECT_FALSE(parseArtPollReply(Bytes(reply.begin(), reply.begin() + 206))) << "one byte short";
  EXPECT_FALSE(parseArtPollReply(Bytes(reply.begin(), reply.begin() + 18)));
  Bytes poll = reply;
  poll[9] = 0x20;
  EXPECT_FALSE(parseArtPollReply(poll)) << "an ArtPoll is no reply";
  Bytes foreign = reply;
  foreign[7] = 'x';
  EXPECT_FALSE(parseArtPollReply(foreign)) << "not Art-Net";
  Bytes manyPorts = reply;
  manyPorts[172] = 0x01;  // 260 ports claimed: only four fields exist
  ASSERT_TRUE(parseArtPollReply(manyPorts));
  EXPECT_EQ(parseArtPollReply(manyPorts)->universes.size(), 3u);
  Bytes unprintable = artPollReplyBytes({10, 0, 0, 7}, "N\x01" "de", "");
  EXPECT_EQ(parseArtPollReply(unprintable)->shortName, "N?de");
}

TEST(ArtPollReply, ForeignAddressesAreIgnoredAndALargeNodeIsOne) {
  const std::vector<LocalNetwork> ours{{0xC0A80105, 0xFFFFFF00}};  // 192.168.1.5/24
  std::vector<DiscoveredNode> nodes;
  auto reply = [](std::uint32_t address, std::vector<std::uint16_t> universes, std::uint8_t bind, std::string name) {
    ArtNode node;
    node.address = address;
    node.longName = std::move(name);
    node.universes = std::move(universes);
    node.bindIndex = bind;
    return node;
  };
  EXPECT_FALSE(addReply(nodes, reply(0x0A000007, {1}, 0, "x"), 0x0A000007, ours)) << "from another network";
  EXPECT_FALSE(addReply(nodes, reply(0x08080808, {1}, 0, "x"), 0xC0A80120, ours)) << "naming another network";
  EXPECT_FALSE(addReply(nodes, reply(0xC0A80120, {1}, 0, "x"), 0x0A000001, ours)) << "naming ours from elsewhere";
  EXPECT_TRUE(nodes.empty());
  EXPECT_TRUE(addReply(nodes, reply(0xC0A80120, {4, 5}, 1, "Big node"), 0xC0A80120, ours));
  EXPECT_TRUE(addReply(nodes, reply(0xC0A80120, {5, 6}, 2, "Big node (ports 5-8)"), 0xC0A80120, ours));
  EXPECT_TRUE(addReply(nodes, reply(0, {9}, 0, "No address given"), 0x7F000001, ours)) << "loopback is ours";
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_EQ(nodes[0], (DiscoveredNode{"192.168.1.32", "Big node", "", {4, 5, 6}, ""}));
  EXPECT_EQ(nodes[1].ip, "127.0.0.1") << "the sender's address when the reply names none";
}

TEST(ArtNetDiscovery, FindsNodesAnsweringOnLoopbackAndIgnoresForeignOnes) {
  FakeArtNetNode lamp([](const std::string& self) { return artPollReplyBytes(bytesOf(self), "Lamp", "Lamp by the chair"); });
  FakeArtNetNode liar([](const std::string&) { return artPollReplyBytes({8, 8, 8, 8}, "Far", "Somewhere else"); });
  ArtNetDiscovery::Settings settings;
  settings.bindAddress = uniqueLoopbackAddress();
  settings.pollTargets = [&] { return std::vector<std::string>{lamp.address(), liar.address()}; };
  settings.window = std::chrono::milliseconds(1500);
  ArtNetDiscovery discovery(settings);
  auto polled = lamp.polled();
  std::promise<std::vector<DiscoveredNode>> found;
  discovery.nodes(false, [&](const std::vector<DiscoveredNode>& nodes) { found.set_value(nodes); });
  EXPECT_EQ(polled.get(), (Bytes{'A', 'r', 't', '-', 'N', 'e', 't', 0x00,  // ID
                                 0x00, 0x20,                               // OpPoll
                                 0x00, 0x0E,                               // protocol 14
                                 0x00,                                     // flags: replies only when asked
                                 0x00}))                                   // diagnostics priority
      << "what the node heard";
  auto nodes = found.get_future().get();
  ASSERT_EQ(nodes.size(), 1u) << "the node naming 8.8.8.8 is not listed";
  EXPECT_EQ(nodes[0], (DiscoveredNode{lamp.address(), "Lamp by the chair", "Lamp", {0x120, 0x121, 0x123},
                                      "#0001 [0042] Power On Tests successful"}));

  // A fresh poll is answered from what it found, without asking the network again.
  std::promise<std::vector<DiscoveredNode>> again;
  discovery.nodes(false, [&](const std::vector<DiscoveredNode>& n) { again.set_value(n); });
  EXPECT_EQ(again.get_future().get(), nodes);
}

}  // namespace artnet_discovery_test
