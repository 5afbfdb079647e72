// The Art-Net sender through a real UDP socket on a loopback address of the test's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <fstream>
#include <set>
#include <sstream>

#include "common/error.hpp"
#include "dmx/artnet_sender.hpp"
#include "dmx/artnet_target.hpp"
#include "dmx/dmx_wire.hpp"
#include "dmx/frame_schedule.hpp"
#include "dmx/sequence_numbers.hpp"
#include "dmx/tests/dmx_test_support.hpp"
#include "server/tests/test_client.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace artnet_sender_test {

using namespace solvera;
using namespace solvera::dmx;
using namespace solvera::dmx::test;
namespace fs = std::filesystem;

namespace {

DmxRequest requestFor(const std::string& targetIp, std::uint16_t universe, std::vector<std::uint8_t> dmx) {
  DmxRequest request;
  request.targetIp = targetIp;
  request.universe = universe;
  request.dmx = std::move(dmx);
  return request;
}

bool allZero(const Bytes& packet) {
  return packet.size() == 530 && std::all_of(packet.begin() + 18, packet.end(), [](auto b) { return b == 0; });
}

Error sendError(ArtNetSender& sender, const DmxRequest& request) {
  try {
    sender.send(request);
  } catch (const ErrorException& e) {
    return e.error();
  }
  return {};
}

std::string fileText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Sets an environment variable for the life of a test; senders read it on their own thread,
// so it is set before any sender exists and cleared after they are gone.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) { ::setenv(name, value.c_str(), 1); }
  ~ScopedEnv() { ::unsetenv(name_); }

 private:
  const char* name_;
};

}  // namespace

TEST(ArtNetSender, SendsWholePacketsAtOnceAndOnEveryTick) {
  ArtNetReceiver node;
  FakeClock clock;
  ArtNetSender sender(clock);
  sender.send(requestFor(node.address(), 1, {255, 128, 7}));

  Bytes expected = {
      'A', 'r', 't', '-', 'N', 'e', 't', 0x00,  // ID
      0x00, 0x50,                               // OpCode 0x5000 (OpDmx), low byte first
      0x00, 0x0E,                               // protocol version 14
      0x00,                                     // sequence: disabled
      0x00,                                     // physical port
      0x01,                                     // SubUni: universe & 0xFF
      0x00,                                     // Net: (universe >> 8) & 0x7F
      0x02, 0x00,                               // data length 512
      255, 128, 7,                              // channels 1..3
  };
  expected.resize(530, 0x00);  // channels 4..512 are dark
  for (int i = 0; i < 3; ++i) {
    auto packet = node.receive();
    ASSERT_TRUE(packet) << "packet " << i;
    EXPECT_EQ(*packet, expected) << "packet " << i;
  }
  auto status = sender.status();
  EXPECT_TRUE(status.timerRunning);
  EXPECT_TRUE(status.socketOpen);
  ASSERT_TRUE(status.stream);
  EXPECT_EQ(status.stream->universe, 1);

  std::vector<std::uint8_t> long600(600, 1);
  long600[511] = 200;
  sender.send(requestFor(node.address(), 256, long600));
  std::optional<Bytes> packet;
  do packet = node.receive();
  while (packet && (*packet)[15] != 0x01);
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->size(), 530u) << "600 values still make one 512-channel packet";
  EXPECT_EQ((*packet)[14], 0x00) << "universe 256: SubUni 0";
  EXPECT_EQ((*packet)[15], 0x01) << "universe 256: Net 1";
  EXPECT_EQ((*packet)[529], 200);
}

TEST(ArtNetSender, SwitchingUniverseStopsTheOldStreamWithoutAZeroFrame) {
  ArtNetReceiver node;
  ArtNetSender sender;
  sender.send(requestFor(node.address(), 1, {10, 20}));
  ASSERT_TRUE(node.receive());
  sender.send(requestFor(node.address(), 2, {30}));
  // Everything sent after the second send returned is for universe 2; what came before is
  // universe 1 and never dark.
  std::vector<Bytes> packets;
  for (int universe2 = 0; universe2 < 3;) {
    auto packet = node.receive();
    ASSERT_TRUE(packet);
    if ((*packet)[14] == 2) ++universe2;
    packets.push_back(*packet);
  }
  auto firstOf2 = std::find_if(packets.begin(), packets.end(), [](auto& p) { return p[14] == 2; });
  for (auto it = packets.begin(); it != packets.end(); ++it) {
    EXPECT_FALSE(allZero(*it)) << "no blackout for the dropped stream";
    if (it < firstOf2) EXPECT_EQ((*it)[18], 10);
    else EXPECT_EQ((*it)[14], 2) << "universe 1 stopped";
  }
  sender.stop();
  EXPECT_FALSE(sender.status().stream);
}

TEST(ArtNetSender, BlackoutSendsExactlyOneZeroPacketThenGoesIdle) {
  ArtNetReceiver node;
  ArtNetSender sender;
  sender.blackoutAndStop();
  auto idle = sender.status();
  EXPECT_FALSE(idle.stream || idle.timerRunning || idle.socketOpen);
  EXPECT_FALSE(node.receive(0ms)) << "nothing to black out";

  sender.send(requestFor(node.address(), 5, {99, 98}));
  ASSERT_TRUE(node.receive());
  sender.blackoutAndStop();  // queued: returns at once
  auto after = sender.status();  // waits for the queue, so the blackout has run
  EXPECT_FALSE(after.stream || after.timerRunning || after.socketOpen);
  auto packets = node.drain();
  ASSERT_FALSE(packets.empty());
  EXPECT_TRUE(allZero(packets.back()));
  EXPECT_EQ(packets.back()[14], 5) << "to the stream's universe";
  EXPECT_EQ(std::count_if(packets.begin(), packets.end(), allZero), 1);
  EXPECT_FALSE(node.receive(120ms)) << "no tick after the blackout";

  sender.send(requestFor(node.address(), 5, {1}));
  sender.stop();
  EXPECT_FALSE(sender.status().socketOpen);
  auto stopped = node.drain();
  EXPECT_EQ(std::count_if(stopped.begin(), stopped.end(), allZero), 0) << "stop sends nothing";
}

TEST(ArtNetSender, RefusesAddressesThatAreNotDottedIPv4AndKeepsItsStream) {
  ArtNetReceiver node;
  ArtNetSender sender;
  sender.send(requestFor(node.address(), 1, {4}));
  ASSERT_TRUE(node.receive());
  for (const char* address : {"localhost", "2.0.0", "1.2.3.4.5", "256.1.1.1", "::1"}) {
    EXPECT_EQ(sendError(sender, requestFor(address, 1, {1})),
              (Error{"SolveraArtNet", 400, "Ongeldig Art-Net IP-adres."}))
        << address;
  }
  auto status = sender.status();
  ASSERT_TRUE(status.stream) << "a refused request leaves the lit stream current";
  EXPECT_EQ(status.stream->targetIp, node.address());
  EXPECT_TRUE(status.timerRunning);
  node.drain();
  auto packet = node.receive();
  ASSERT_TRUE(packet);
  EXPECT_EQ((*packet)[18], 4) << "and it goes on";
}

namespace {

// A socket that cannot send while told so, as on a network that has gone away.
class FlakySocket final : public DatagramSocket {
 public:
  bool open() override { return open_ = true; }
  bool isOpen() const override { return open_; }
  bool sendTo(const sockaddr_in&, std::span<const std::uint8_t> bytes) override {
    std::lock_guard lock(mutex_);
    if (failing_) {
      errno = ENETUNREACH;
      return false;
    }
    sent_.emplace_back(bytes.begin(), bytes.end());
    changed_.notify_all();
    return true;
  }
  void close() override { open_ = false; }

  void fail(bool failing) {
    std::lock_guard lock(mutex_);
    failing_ = failing;
  }
  std::vector<Bytes> waitForPackets(std::size_t n) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 60s, [&] { return sent_.size() >= n; });
    return sent_;
  }

 private:
  std::atomic<bool> open_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Bytes> sent_;
  bool failing_ = false;
};

class NoTrace final : public FrameTrace {
 public:
  void frame(std::int64_t, const Stream&, std::span<const std::uint8_t>) override {}
};

}  // namespace

TEST(ArtNetSender, AFailedSendAnswersTheRequestAndTheTicksRetryIt) {
  FakeClock clock;
  auto owned = std::make_unique<FlakySocket>();
  FlakySocket& network = *owned;
  ArtNetSender sender(clock, std::move(owned), std::make_unique<NoTrace>(), [] { return std::vector<LocalNetwork>{}; });
  network.fail(true);
  const Error unreachable{"SolveraArtNet", ENETUNREACH, "Art-Net pakket kon niet worden verzonden."};
  EXPECT_EQ(sendError(sender, requestFor("127.0.0.1", 1, {200})), unreachable);
  auto status = sender.status();
  ASSERT_TRUE(status.stream) << "the request is the stream all the same";
  EXPECT_TRUE(status.timerRunning);
  EXPECT_EQ(sendError(sender, requestFor("127.0.0.1", 1, {200})), unreachable)
      << "after a failed frame the same request tries at once again, and says so";

  network.fail(false);
  const auto packets = network.waitForPackets(1);
  ASSERT_FALSE(packets.empty()) << "a tick sends it once the network is back, without a new request";
  const auto expected = buildArtDmxPacket(std::vector<std::uint8_t>{200}, 1);
  EXPECT_EQ(packets.front(), Bytes(expected.begin(), expected.end()));

  network.fail(true);
  sender.blackoutAndStop();  // fails quietly: nobody is left to tell
  status = sender.status();
  EXPECT_FALSE(status.stream || status.timerRunning || status.socketOpen);
}

TEST(ArtNetSender, KeepsThePulseEpochForTheSameDestinationUntilStopped) {
  ArtNetReceiver node;
  FakeClock clock;
  ArtNetSender sender(clock);
  auto pulsing = [&](double hz, std::uint16_t universe) {
    auto request = requestFor(node.address(), universe, {200});
    request.pulseHz = hz;
    request.pulseChannels = std::vector<std::int64_t>{1};
    request.pulseShape = "sine";
    return request;
  };
  auto firstValueAfter = [&](const DmxRequest& request) {
    sender.send(request);
    // The clock stands still, so every packet from now on carries the same value.
    node.drain();
    auto packet = node.receive();
    return packet ? int((*packet)[18]) : -1;
  };
  EXPECT_EQ(firstValueAfter(pulsing(1.0, 1)), 0) << "a sine starts dark";
  clock.advanceMs(250);
  EXPECT_EQ(firstValueAfter(pulsing(2.0, 1)), 100)
      << "same target and universe: a new rate continues from the quarter period reached at 1 Hz";
  EXPECT_EQ(firstValueAfter(pulsing(2.0, 2)), 0) << "another universe starts a new epoch";
  clock.advanceMs(250);
  sender.stop();
  EXPECT_EQ(firstValueAfter(pulsing(2.0, 2)), 0) << "after a stop the pulse starts again at 0";
}

TEST(ArtNetSender, TracesEverySentFrameWhenAskedTo) {
  solvera::test::TempDir dir;
  const fs::path trace = dir.path() / "trace.csv";
  ArtNetReceiver node;
  const std::string header = "monotonic_ns,target_ip,universe,pulse_hz,pulse_shape,pulse_channels,dmx_1_32\n";
  {
    ScopedEnv env("SOLVERA_DMX_TRACE", trace.string());
    FakeClock clock(5'000'000'000);
    ArtNetSender sender(clock);
    sender.send(requestFor(node.address(), 3, {1, 2, 3}));
    // The first line is written before the first packet leaves, so it is there now.
    std::string text = fileText(trace);
    const std::string line = "5000000000," + node.address() + ",3,0.0,square,,1|2|3\n";
    ASSERT_TRUE(text.starts_with(header + line)) << text;

    auto pulsed = requestFor(node.address(), 3, {100, 200});
    pulsed.pulseHz = 10;
    pulsed.pulseChannels = std::vector<std::int64_t>{2, 2, 9};
    pulsed.pulseShape = "sawtooth";
    clock.advanceMs(25);  // 10 Hz, 25 ms: a quarter period, multiplier 0.25 twice on channel 2
    sender.send(pulsed);
    sender.blackoutAndStop();
    sender.status();
    text = fileText(trace);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n') >= 3, true);
    EXPECT_EQ(text.find(header, 1), std::string::npos) << "one header per run";
    const std::string pulsedLine = "5025000000," + node.address() + ",3,10.0,sawtooth,2|2|9,100|13\n";
    EXPECT_NE(text.find(pulsedLine), std::string::npos) << text;
    EXPECT_TRUE(text.ends_with(pulsedLine)) << "the blackout packet is not traced";
  }
  {
    // A later run appends to the file it finds, header and all.
    ScopedEnv env("SOLVERA_DMX_TRACE", trace.string());
    std::size_t before = fileText(trace).size();
    ArtNetSender sender;
    sender.send(requestFor(node.address(), 3, {1}));
    EXPECT_EQ(fileText(trace).substr(before, header.size()), header);
  }
  {
    ScopedEnv env("SOLVERA_DMX_TRACE", (dir.path() / "missing" / "trace.csv").string());
    ArtNetSender sender;
    node.drain();
    sender.send(requestFor(node.address(), 3, {1}));
    EXPECT_TRUE(node.receive()) << "a trace that cannot be written does not stop the light";
    EXPECT_FALSE(fs::exists(dir.path() / "missing"));
  }
  {
    ScopedEnv env("SOLVERA_DMX_TRACE", "");
    std::size_t filesBefore = std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator());
    ArtNetSender sender;
    sender.send(requestFor(node.address(), 3, {1}));
    sender.status();
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()),
              static_cast<std::ptrdiff_t>(filesBefore))
        << "an empty value means no trace";
  }
}

TEST(ArtNetSender, PulsesOnAGridLockedToThePhaseAndHoldsTheMeanBeyondTheLine) {
  solvera::test::TempDir dir;
  const fs::path trace = dir.path() / "trace.csv";
  ScopedEnv env("SOLVERA_DMX_TRACE", trace.string());
  ArtNetReceiver node;
  ArtNetSender sender;
  auto pulsing = [&](double hz, bool shortFrames) {
    auto request = requestFor(node.address(), 3, {200});
    request.pulseHz = hz;
    request.pulseChannels = std::vector<std::int64_t>{1};
    request.pulseShape = "sine";
    request.shortFrames = shortFrames;
    return request;
  };
  auto level = [](double position) {
    return static_cast<int>(std::lround(200 * pulseMultiplier(position, "sine")));
  };
  // The trace's frame times and channel-1 values from line `from` on (the header is line 0).
  auto traced = [&](std::size_t from) {
    std::vector<std::pair<std::int64_t, int>> frames;
    std::istringstream lines(fileText(trace));
    std::string line;
    for (std::size_t i = 0; std::getline(lines, line); ++i) {
      if (i < from) continue;
      frames.emplace_back(std::stoll(line.substr(0, line.find(','))), std::stoi(line.substr(line.rfind(',') + 1)));
    }
    return frames;
  };

  // 12 Hz with short frames: twelve frames per cycle, 144 a second.
  sender.send(pulsing(12, true));
  auto status = sender.status();
  EXPECT_EQ(status.schedule.kind, FrameSchedule::Kind::Pulsed);
  EXPECT_EQ(status.schedule.framesPerCycle, 12);
  Bytes first = *node.receive();
  EXPECT_EQ(first.size(), 530u) << "the first frame is whole: it darkens what short frames leave out";
  std::vector<Bytes> packets;
  while (packets.size() < 30) packets.push_back(*node.receive());
  for (const auto& packet : packets) {
    ASSERT_EQ(packet.size(), 20u) << "two channels: the shortest even length";
    EXPECT_EQ(packet[16], 0x00);
    EXPECT_EQ(packet[17], 0x02);
  }
  const auto frames = traced(1);
  ASSERT_GE(frames.size(), 30u);
  const std::int64_t epoch = frames[0].first;  // a new stream's first frame is at its epoch
  EXPECT_EQ(frames[0].second, 0) << "a sine starts dark";
  std::set<int> levels;
  for (std::size_t i = 1; i < frames.size(); ++i) {
    const double index = static_cast<double>(frames[i].first - epoch) * 144 / 1e9;
    ASSERT_NEAR(index, std::round(index), 1e-3) << "frame " << i << " lies on the 144 Hz grid";
    const auto k = static_cast<std::int64_t>(std::llround(index));
    EXPECT_EQ(frames[i].second, level(static_cast<double>(k % 12) / 12)) << "frame " << i;
    levels.insert(frames[i].second);
  }
  for (const auto& packet : packets) EXPECT_TRUE(levels.count(packet[18])) << int(packet[18]);

  // The same stream at 5 Hz continues the phase it has reached: a new grid of twelve frames a
  // cycle, drawn at the same twelve positions.
  sender.send(pulsing(5, true));
  // Frames of the old grid are drawn for times at most half a frame after their wake-up.
  const std::int64_t handedOver = systemClock().monotonicNs() + 5'000'000;
  for (int i = 0; i < 10; ++i) node.receive();
  EXPECT_EQ(sender.status().schedule.framesPerCycle, 12);
  std::optional<std::int64_t> gridStart;
  std::size_t checked = 0;
  for (const auto& [time, value] : traced(1)) {
    if (time <= handedOver) continue;
    if (!gridStart) gridStart = time;
    ++checked;
    const double index = static_cast<double>(time - *gridStart) * 60 / 1e9;
    ASSERT_NEAR(index, std::round(index), 1e-3) << "on a 60 Hz grid";
    EXPECT_TRUE(levels.count(value)) << "a level of the twelve positions: " << value;
  }
  EXPECT_GT(checked, 0u);

  // Whole frames cannot carry 12 Hz: steady light at the mean, 530 bytes, every 50 ms.
  sender.send(pulsing(12, false));
  EXPECT_EQ(sender.status().schedule.kind, FrameSchedule::Kind::Mean);
  node.drain();
  for (int i = 0; i < 3; ++i) {
    auto packet = node.receive();
    ASSERT_TRUE(packet);
    ASSERT_EQ(packet->size(), 530u);
    EXPECT_EQ((*packet)[18], 100) << "half of 200: a sine's mean";
  }
}

TEST(ArtNetTarget, OnlyThisMachineItsSubnetsAndTheirBroadcasts) {
  // 192.168.1.20/24 and a point-to-point 10.8.0.5/32.
  const std::vector<LocalNetwork> networks{{0xC0A80114, 0xFFFFFF00}, {0x0A080005, 0xFFFFFFFF}};
  auto verdict = [&](const std::string& target) {
    try {
      const sockaddr_in address = artNetDestination(target, networks);
      EXPECT_EQ(ntohs(address.sin_port), 6454);
      return 0;
    } catch (const ErrorException& e) {
      EXPECT_EQ(e.error().domain, "SolveraArtNet");
      return e.error().code;
    }
  };
  for (const char* allowed :
       {"127.0.0.1", "127.45.6.7", "192.168.1.77", "192.168.1.255", "192.168.1.20", "10.8.0.5", "255.255.255.255"}) {
    EXPECT_EQ(verdict(allowed), 0) << allowed;
  }
  for (const char* refused : {"192.168.2.1", "8.8.8.8", "255.255.255.254", "10.8.0.6", "0.0.0.0", "224.0.0.1"}) {
    EXPECT_EQ(verdict(refused), 403) << refused;
  }
  EXPECT_EQ(verdict("localhost"), 400);
  try {
    artNetDestination("8.8.8.8", networks);
  } catch (const ErrorException& e) {
    EXPECT_EQ(e.error().message,
              "Art-Net-adres 8.8.8.8 ligt niet in het eigen netwerk. Kies een lamp of node in een subnet van deze "
              "computer, het broadcastadres van dat subnet of 127.0.0.1.");
  }

  // The sender refuses such a target on the request, sends nothing, and the next request to a
  // node of its own takes over.
  ArtNetReceiver node;
  ArtNetSender sender(systemClock(), udpSocket(), traceFromEnvironment(), [&] { return networks; });
  EXPECT_EQ(sendError(sender, requestFor("8.8.8.8", 1, {255})).code, 403);
  sender.send(requestFor(node.address(), 1, {4}));
  auto packet = node.receive();
  ASSERT_TRUE(packet);
  EXPECT_EQ((*packet)[18], 4);
}

TEST(ArtNetSender, SequencesPerUniverseAndSyncsWhenAsked) {
  ArtNetReceiver node;
  ArtNetSender sender;
  DmxRequest request = requestFor(node.address(), 0x0123, {90});
  request.sequencing = true;
  request.sync = true;
  sender.send(request);
  std::vector<Bytes> packets;
  while (packets.size() < 8) {
    auto packet = node.receive(10s);
    ASSERT_TRUE(packet);
    packets.push_back(*packet);
  }
  const std::vector<std::uint8_t> sync{'A', 'r', 't', '-', 'N', 'e', 't', 0,  // ID
                                       0x00, 0x52,                          // OpSync
                                       0x00, 0x0E,                          // protocol 14
                                       0x00, 0x00};                         // Aux1, Aux2
  // ArtDmx, ArtSync, ArtDmx, ArtSync, ...: each frame released at once.
  const std::size_t firstDmx = packets[0].size() == 530 ? 0 : 1;
  for (std::size_t i = firstDmx; i + 1 < packets.size(); i += 2) {
    ASSERT_EQ(packets[i].size(), 530u) << i;
    EXPECT_EQ(packets[i + 1], sync) << i + 1;
    if (i >= firstDmx + 2) {
      const std::uint8_t before = packets[i - 2][12], now = packets[i][12];
      EXPECT_EQ(now, before == 255 ? 1 : before + 1) << "one after another, 0 never used";
    }
    EXPECT_NE(packets[i][12], 0) << "sequenced";
  }
  // The dark frame at blackout is released by an ArtSync too: a node that holds frames would
  // otherwise keep the lamp lit.
  sender.blackoutAndStop();
  sender.status();
  packets = node.drain();
  ASSERT_GE(packets.size(), 2u);
  EXPECT_TRUE(allZero(packets[packets.size() - 2]));
  EXPECT_EQ(packets.back(), sync);

  // The count wraps from 255 to 1 and is kept per universe.
  std::set<std::uint8_t> values;
  std::uint8_t last = sequence::nextArtNet(77);
  for (int i = 0; i < 600; ++i) {
    const std::uint8_t next = sequence::nextArtNet(77);
    EXPECT_EQ(next, last == 255 ? 1 : last + 1);
    values.insert(next);
    last = next;
  }
  EXPECT_EQ(values.size(), 255u);
  EXPECT_EQ(values.count(0), 0u);
  EXPECT_EQ(sequence::nextArtNet(78), 1) << "another universe counts on its own";
}

TEST(ArtSyncGroup, OneSyncPerMomentToEveryNodeOfIt) {
  auto node = [](std::uint32_t address) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(6454);
    to.sin_addr.s_addr = htonl(address);
    return to;
  };
  auto addresses = [](const std::vector<sockaddr_in>& nodes) {
    std::vector<std::uint32_t> out;
    for (const auto& n : nodes) out.push_back(ntohl(n.sin_addr.s_addr));
    return out;
  };
  ArtSyncGroup group(3);
  const std::int64_t t = 1'000'000'000;
  EXPECT_TRUE(group.sent(0, t, node(1)).empty()) << "others have yet to send";
  EXPECT_TRUE(group.sent(1, t + 400'000, node(2)).empty());
  EXPECT_EQ(addresses(group.sent(2, t + 900'000, node(1))), (std::vector<std::uint32_t>{1, 2}))
      << "the round is whole: one ArtSync to each node";
  EXPECT_TRUE(group.sent(2, t + 50'000'000, node(1)).empty());
  EXPECT_TRUE(group.sent(0, t + 50'500'000, node(1)).empty());
  // Member 2 moves on before member 1 came: the round so far is released, a new one begins.
  EXPECT_EQ(addresses(group.sent(2, t + 100'000'000, node(3))), (std::vector<std::uint32_t>{1}));
  EXPECT_TRUE(group.sent(0, t + 100'200'000, node(1)).empty());
  EXPECT_EQ(addresses(group.sent(1, t + 100'300'000, node(2))), (std::vector<std::uint32_t>{3, 1, 2}));
}

}  // namespace artnet_sender_test
