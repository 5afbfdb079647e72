// sACN (E1.31): packets byte for byte, the destination rule, the CID kept per installation, the
// stream over a loopback socket, decoding by tshark's dissector, and multicast out of a chosen
// interface inside a network namespace of the test's own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "common/error.hpp"
#include "common/files.hpp"
#include "dmx/artnet_target.hpp"
#include "dmx/sacn_sender.hpp"
#include "dmx/sacn_wire.hpp"
#include "dmx/tests/dmx_test_support.hpp"
#include "server/tests/test_client.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace sacn_test {

using namespace solvera;
using namespace solvera::dmx;
using namespace solvera::dmx::test;

namespace {

constexpr SacnCid kCid = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                          0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};

SacnSource lamp() { return SacnSource{kCid, "Lamp", 100}; }

DmxRequest sacnRequest(const std::string& target, std::uint16_t universe, std::vector<std::uint8_t> dmx) {
  DmxRequest request;
  request.outputMode = "sacn";
  request.targetIp = target;
  request.universe = universe;
  request.dmx = std::move(dmx);
  return request;
}

Error refusal(const std::string& target, std::uint16_t universe) {
  try {
    sacnDestination(target, universe, {});
  } catch (const ErrorException& e) {
    return e.error();
  }
  return {};
}

struct Seen {
  std::uint8_t sequence, options;
  std::uint16_t universe;
  std::uint8_t channel1;
};
Seen seen(const Bytes& packet) {
  return {packet.at(kSacnSequenceOffset), packet.at(kSacnOptionsOffset),
          static_cast<std::uint16_t>(packet.at(113) << 8 | packet.at(114)), packet.at(kSacnHeaderBytes)};
}

}  // namespace

TEST(SacnPacket, EveryLayerByteForByte) {
  const std::vector<std::uint8_t> frame{10, 20, 30};
  const auto packet = sacnDataPacket(lamp(), 300, 7, 0, frame, 512);
  std::vector<std::uint8_t> expected{
      0x00, 0x10,                                                  // preamble size
      0x00, 0x00,                                                  // post-amble size
      'A', 'S', 'C', '-', 'E', '1', '.', '1', '7', 0, 0, 0,        // ACN packet identifier
      0x72, 0x6E,                                                  // root: flags 0x7, length 622
      0x00, 0x00, 0x00, 0x04,                                      // VECTOR_ROOT_E131_DATA
      0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,              // CID
      0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f,              //
      0x72, 0x58,                                                  // framing: length 600
      0x00, 0x00, 0x00, 0x02,                                      // VECTOR_E131_DATA_PACKET
  };
  const std::string name = "Lamp";
  expected.insert(expected.end(), name.begin(), name.end());      // source name,
  expected.resize(expected.size() + 60, 0x00);                     //   NUL-padded to 64 bytes
  const std::vector<std::uint8_t> rest{
      0x64,                                                        // priority 100
      0x00, 0x00,                                                  // synchronization address: none
      0x07,                                                        // sequence number
      0x00,                                                        // options
      0x01, 0x2C,                                                  // universe 300
      0x72, 0x0B,                                                  // DMP: length 523
      0x02,                                                        // VECTOR_DMP_SET_PROPERTY
      0xA1,                                                        // address and data type
      0x00, 0x00,                                                  // first property address
      0x00, 0x01,                                                  // address increment
      0x02, 0x01,                                                  // property value count 513
      0x00,                                                        // start code
      10, 20, 30,                                                  // channels 1..3
  };
  expected.insert(expected.end(), rest.begin(), rest.end());
  expected.resize(kSacnPacketBytes, 0x00);                         // channels 4..512
  EXPECT_EQ(packet, expected);

  // A short frame: every length follows, and the count names start code and 24 channels.
  const auto shorter = sacnDataPacket(lamp(), 1, 0, kSacnStreamTerminated, frame, 24);
  ASSERT_EQ(shorter.size(), 150u);
  EXPECT_EQ((std::vector<std::uint8_t>{shorter[16], shorter[17]}), (std::vector<std::uint8_t>{0x70, 0x86})) << "root 134";
  EXPECT_EQ((std::vector<std::uint8_t>{shorter[38], shorter[39]}), (std::vector<std::uint8_t>{0x70, 0x70})) << "framing 112";
  EXPECT_EQ((std::vector<std::uint8_t>{shorter[115], shorter[116]}), (std::vector<std::uint8_t>{0x70, 0x23})) << "DMP 35";
  EXPECT_EQ((std::vector<std::uint8_t>{shorter[123], shorter[124]}), (std::vector<std::uint8_t>{0x00, 0x19})) << "count 25";
  EXPECT_EQ(shorter[kSacnOptionsOffset], 0x40) << "stream terminated";

  // A name longer than 63 bytes ends before a character it would cut, and the field keeps its NUL.
  SacnSource longName = lamp();
  longName.name = std::string(62, 'x') + "é";  // 62 + 2 bytes
  const auto cut = sacnDataPacket(longName, 1, 0, 0, frame, 512);
  EXPECT_EQ(std::string(cut.begin() + 44, cut.begin() + 44 + 64), std::string(62, 'x') + std::string(2, '\0'));
  longName.priority = 250;
  EXPECT_EQ(sacnDataPacket(longName, 1, 0, 0, frame, 512)[108], 200) << "priority at most 200";
  EXPECT_EQ(sacnMulticastGroup(300), 0xEFFF012Cu) << "239.255.1.44";
}

TEST(SacnDestination, UniversesGroupsAndTheTargetRule) {
  EXPECT_EQ(refusal("", 0), (Error{"SolveraSacn", 400, "Een sACN-universe ligt tussen 1 en 63999."}));
  EXPECT_EQ(refusal("", 64000).code, 400);
  EXPECT_EQ(refusal("127.0.0.1", 63999), Error{}) << "the highest universe";
  const sockaddr_in group = sacnDestination("", 300, {});
  EXPECT_EQ(ntohl(group.sin_addr.s_addr), 0xEFFF012Cu) << "empty: the universe's group";
  EXPECT_EQ(ntohs(group.sin_port), 5568);
  EXPECT_EQ(refusal("239.255.0.9", 1), Error{}) << "another universe's group is still an E1.31 group";
  EXPECT_EQ(refusal("239.1.2.3", 1).code, 403) << "other multicast groups are not ours";
  EXPECT_EQ(refusal("224.0.0.1", 1).code, 403);
  EXPECT_EQ(refusal("239.255.250.1", 1).code, 403) << "beyond universe 63999";
  EXPECT_EQ(refusal("8.8.8.8", 1).code, 403) << "nobody else's network";
  EXPECT_EQ(refusal("localhost", 1), (Error{"SolveraSacn", 400, "Ongeldig sACN IP-adres."}));
  EXPECT_EQ(refusal("192.168.7.255", 1).code, 403);
  EXPECT_EQ(sacnDestination("192.168.7.255", 1, {{0xC0A80705, 0xFFFFFF00}}).sin_addr.s_addr, htonl(0xC0A807FF))
      << "the broadcast of a subnet of ours";
  EXPECT_THROW(chosenInterface("no-such-interface0"), ErrorException);
  EXPECT_EQ(chosenInterface("lo").address, "127.0.0.1");
}

TEST(SacnCid, MadeOnceAndKept) {
  solvera::test::TempDir home;
  const auto file = home.path() / "Solvera Pro" / "sacn-cid";
  const SacnCid first = keptCid(file);
  EXPECT_EQ(first[6] >> 4, 4) << "a version 4 UUID";
  EXPECT_EQ(first[8] & 0xC0, 0x80) << "of the RFC 4122 variant";
  EXPECT_EQ(readWholeFile(file), cidText(first) + "\n");
  EXPECT_EQ(keptCid(file), first) << "the same on the next start";
  ASSERT_TRUE(writeFileAtomically(file, "not a uuid"));
  const SacnCid remade = keptCid(file);
  EXPECT_NE(remade, first);
  EXPECT_EQ(keptCid(file), remade) << "a damaged file is replaced once";
}

TEST(SacnSender, NumbersEveryPacketAndEndsTheStream) {
  ArtNetReceiver receiver(kSacnPort);
  SacnSender sender(systemClock(), udpSocket(), [] { return kCid; });
  DmxRequest request = sacnRequest(receiver.address(), 7, {200});
  request.sourceName = "Kamer";
  request.priority = 150;
  sender.send(request);
  std::vector<Bytes> packets;
  while (packets.size() < 4) {
    auto packet = receiver.receive(10s);
    ASSERT_TRUE(packet) << "the stream goes on";
    packets.push_back(*packet);
  }
  const Bytes& first = packets.front();
  ASSERT_EQ(first.size(), kSacnPacketBytes);
  EXPECT_EQ(std::vector<std::uint8_t>(first.begin() + 22, first.begin() + 38),
            std::vector<std::uint8_t>(kCid.begin(), kCid.end()));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(first.data()) + 44), "Kamer");
  EXPECT_EQ(first[108], 150) << "priority";
  for (std::size_t i = 0; i < packets.size(); ++i) {
    const Seen s = seen(packets[i]);
    EXPECT_EQ(s.universe, 7);
    EXPECT_EQ(s.channel1, 200);
    EXPECT_EQ(s.options, 0);
    EXPECT_EQ(s.sequence, static_cast<std::uint8_t>(seen(first).sequence + i)) << "packet " << i;
  }

  // A stop ends the stream: three packets with the stream-terminated option, numbered on.
  sender.stop();
  sender.status();  // the stop has run
  for (auto& packet : receiver.drain()) packets.push_back(std::move(packet));
  ASSERT_GE(packets.size(), 7u);
  for (std::size_t i = 1; i < packets.size(); ++i) {
    EXPECT_EQ(seen(packets[i]).sequence, static_cast<std::uint8_t>(seen(packets[i - 1]).sequence + 1)) << i;
    EXPECT_EQ(seen(packets[i]).options, i + 3 >= packets.size() ? kSacnStreamTerminated : 0) << i;
    EXPECT_EQ(seen(packets[i]).universe, 7);
  }
  const std::uint8_t ended = seen(packets.back()).sequence;

  // A new stream of the universe numbers on: a receiver would drop one that began at 0 again.
  sender.send(request);
  sender.status();
  packets = receiver.drain();
  ASSERT_FALSE(packets.empty());
  EXPECT_EQ(seen(packets.front()).sequence, static_cast<std::uint8_t>(ended + 1));

  // Another universe: the old one is ended before the new one's first frame.
  request.universe = 8;
  sender.send(request);
  sender.status();
  packets = receiver.drain();
  auto firstOf8 = std::find_if(packets.begin(), packets.end(), [](const Bytes& p) { return seen(p).universe == 8; });
  ASSERT_NE(firstOf8, packets.end());
  ASSERT_GE(firstOf8 - packets.begin(), 3);
  for (auto p = firstOf8 - 3; p != firstOf8; ++p) {
    EXPECT_EQ(seen(*p).universe, 7);
    EXPECT_EQ(seen(*p).options, kSacnStreamTerminated);
  }

  // Blackout: a dark frame, then the end of the stream.
  sender.blackoutAndStop();
  sender.status();
  packets = receiver.drain();
  ASSERT_GE(packets.size(), 4u);
  const Seen dark = seen(packets[packets.size() - 4]);
  EXPECT_EQ(dark.universe, 8);
  EXPECT_EQ(dark.options, 0);
  EXPECT_EQ(dark.channel1, 0);
  EXPECT_TRUE(std::all_of(packets.end() - 3, packets.end(), [](const Bytes& p) {
    return seen(p).options == kSacnStreamTerminated && seen(p).universe == 8;
  }));
  EXPECT_FALSE(sender.status().universe);
}

// What tshark's E1.31 dissector reads in packets our sender put on a socket, written into a
// capture file as they arrived.
TEST(SacnSender, DecodedByARealReceiver) {
  if (std::system("command -v tshark >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "tshark is not installed (scripts/setup.sh installs it): the decoder check cannot run";
  }
  ArtNetReceiver receiver(kSacnPort);
  SacnSender sender(systemClock(), udpSocket(), [] { return kCid; });
  DmxRequest request = sacnRequest(receiver.address(), 4321, {1, 2, 3});
  request.sourceName = "Solvera test";
  request.priority = 42;
  sender.send(request);
  sender.stop();
  sender.status();
  auto packets = receiver.drain();
  ASSERT_GE(packets.size(), 4u);
  const std::vector<Bytes> chosen{packets.front(), packets.back()};

  // A capture of raw IPv4 datagrams (link type 101) from loopback to port 5568.
  solvera::test::TempDir dir;
  const auto capture = dir.path() / "sacn.pcap";
  std::string bytes;
  auto put = [&](std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i) bytes += static_cast<char>(value >> (8 * i));
  };
  put(0xA1B2C3D4, 4), put(2, 2), put(4, 2), put(0, 4), put(0, 4), put(65535, 4), put(101, 4);
  for (std::size_t n = 0; n < chosen.size(); ++n) {
    const Bytes& payload = chosen[n];
    std::string datagram;
    auto big = [&](std::uint32_t value, int size) {
      for (int i = size - 1; i >= 0; --i) datagram += static_cast<char>(value >> (8 * i));
    };
    big(0x45000000 | static_cast<std::uint32_t>(28 + payload.size()), 4), big(0, 4), big(0x40110000, 4);
    big(0x7F000001, 4), big(0x7F000001, 4);
    big(40000, 2), big(kSacnPort, 2), big(static_cast<std::uint32_t>(8 + payload.size()), 2), big(0, 2);
    datagram.append(payload.begin(), payload.end());
    put(static_cast<std::uint32_t>(n), 4), put(0, 4), put(static_cast<std::uint32_t>(datagram.size()), 4);
    put(static_cast<std::uint32_t>(datagram.size()), 4);
    bytes += datagram;
  }
  ASSERT_TRUE(writeFileAtomically(capture, bytes));
  const std::string command =
      "tshark -r '" + capture.string() +
      "' --enable-heuristic acn -o acn.dmx_enable:TRUE -T fields -E separator=/t -e acn.cid -e acn.dmx.source_name "
      "-e acn.dmx.priority -e acn.dmx.seq_number -e acn.dmx.option_s -e acn.dmx.universe -e acn.dmx.count "
      "-e acn.dmx.data 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  ASSERT_EQ(::pclose(pipe), 0) << output;
  std::istringstream lines(output);
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);  // the data field holds '|'
    rows.push_back(fields);
  }
  ASSERT_EQ(rows.size(), 2u) << output;
  for (std::size_t n = 0; n < 2; ++n) {
    ASSERT_GE(rows[n].size(), 8u) << output;
    EXPECT_EQ(rows[n][0], "00010203-0405-0607-0809-0a0b0c0d0e0f");
    EXPECT_EQ(rows[n][1], "Solvera test");
    EXPECT_EQ(rows[n][2], "42");
    EXPECT_EQ(rows[n][3], std::to_string(chosen[n][kSacnSequenceOffset]));
    EXPECT_EQ(rows[n][4], n == 0 ? "0" : "1") << "stream terminated";
    EXPECT_EQ(rows[n][5], "4321");
    EXPECT_EQ(rows[n][6], "513");
  }
  EXPECT_NE(rows[0][7].find("001-020:  1  2  3"), std::string::npos) << rows[0][7];
}

// Multicast leaves by the chosen interface only. Two veth pairs inside a namespace of the
// test's own: a receiver joined on the far end of each; a frame sent out of one reaches only
// the receiver behind it.
TEST(SacnSender, MulticastLeavesByTheChosenInterface) {
  const std::string setup =
      "ip link set lo up\n"
      "ip link add a0 type veth peer name a1\n"
      "ip link add b0 type veth peer name b1\n"
      "ip addr add 10.77.1.1/24 dev a0\nip addr add 10.77.1.2/24 dev a1\n"
      "ip addr add 10.77.2.1/24 dev b0\nip addr add 10.77.2.2/24 dev b1\n"
      "for i in a0 a1 b0 b1; do ip link set $i up; done\n"
      // A veth end carries frames only once both ends are up; wait for that (10 s at most). Asked
      // over netlink: /sys still shows the interfaces of the namespace it was mounted in.
      "for i in a0 a1 b0 b1; do n=0; until ip -o link show dev $i | grep -q 'state UP'; do\n"
      "  n=$((n+1)); [ $n -gt 1000 ] && exit 1; sleep 0.01; done; done\n"
      // Frames from an address of this namespace arrive on the far end of the pair.
      "sysctl -qw net.ipv4.conf.all.accept_local=1\n";
  std::string why;
  const bool ran = inNetworkNamespace(setup, [&] {
    auto joined = [](const char* interface) {
      int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      int one = 1, zero = 0;
      ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof zero);  // our own joins only
      sockaddr_in any{};
      any.sin_family = AF_INET;
      any.sin_port = htons(kSacnPort);
      ::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any);
      ip_mreqn join{};
      join.imr_multiaddr.s_addr = htonl(sacnMulticastGroup(5));
      join.imr_ifindex = static_cast<int>(chosenInterface(interface).index);
      EXPECT_EQ(::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join), 0);
      return fd;
    };
    const int behindA = joined("a1"), behindB = joined("b1");
    auto received = [](int fd, std::chrono::milliseconds wait) {
      pollfd p{fd, POLLIN, 0};
      std::vector<Bytes> got;
      while (::poll(&p, 1, static_cast<int>(wait.count())) > 0) {
        Bytes buffer(1024);
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) break;
        buffer.resize(static_cast<std::size_t>(n));
        got.push_back(buffer);
        wait = 0ms;
      }
      return got;
    };
    for (const char* via : {"a0", "b0"}) {
      SacnSender sender(systemClock(), udpSocket(), [] { return kCid; });
      DmxRequest request = sacnRequest("", 5, {77});
      request.networkInterface = via;
      sender.send(request);
      sender.stop();
      sender.status();
      const bool a = std::string(via) == "a0";
      const auto wanted = received(a ? behindA : behindB, 10000ms);
      const auto other = received(a ? behindB : behindA, 0ms);  // it would have come the same way
      ASSERT_GE(wanted.size(), 4u) << "out of " << via;
      EXPECT_EQ(seen(wanted.front()).universe, 5);
      EXPECT_EQ(seen(wanted.front()).channel1, 77);
      EXPECT_EQ(seen(wanted.back()).options, kSacnStreamTerminated);
      EXPECT_TRUE(other.empty()) << "nothing out of the other interface";
    }
    ::close(behindA);
    ::close(behindB);
  }, &why);
  if (!ran) GTEST_SKIP() << why;
}

}  // namespace sacn_test
