// From synthetic headband packets to the bridge's events: bands, contact, losses, battery.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>
#include <random>

#include "bridge/headband/headband_stream.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace headband_stream_test {

using namespace solvera::headband;
using Event = HeadbandStream::Event;

namespace {

// A signal in µV at sample index n.
using Signal = std::function<double(long n)>;

Signal sine(double hz, double amplitudeUv = 50) {
  return [=](long n) { return amplitudeUv * std::sin(2 * std::numbers::pi * hz * n / 256.0); };
}

Signal noise(double stdUv, unsigned seed) {
  auto engine = std::make_shared<std::mt19937>(seed);
  auto dist = std::make_shared<std::normal_distribution<double>>(0.0, stdUv);
  return [=](long) { return (*dist)(*engine); };
}

// One 20-byte packet holding samples first..first+11 of the signal.
std::vector<std::uint8_t> packet(std::uint16_t sequence, const Signal& signal, long first) {
  std::vector<std::uint8_t> bytes = {static_cast<std::uint8_t>(sequence >> 8),
                                     static_cast<std::uint8_t>(sequence & 0xFF)};
  int counts[12];
  for (int i = 0; i < 12; ++i) {
    counts[i] =
        std::clamp(static_cast<int>(std::lround(signal(first + i) / 0.48828125)) + 2048, 0, 4095);
  }
  for (int i = 0; i < 12; i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(counts[i] >> 4));
    bytes.push_back(static_cast<std::uint8_t>(((counts[i] & 0xF) << 4) | (counts[i + 1] >> 8)));
    bytes.push_back(static_cast<std::uint8_t>(counts[i + 1] & 0xFF));
  }
  return bytes;
}

struct Recorder {
  std::vector<Event> events;
  HeadbandStream stream{[this](Event e) { events.push_back(std::move(e)); }};

  // Feeds `packets` packets per channel; a channel without a signal stays silent.
  void feed(const std::array<Signal, 4>& signals, int packets, std::uint16_t firstSequence = 0,
            const std::function<bool(std::size_t channel, int index)>& skip = {}) {
    for (int p = 0; p < packets; ++p) {
      for (std::size_t c = 0; c < 4; ++c) {
        if (!signals[c] || (skip && skip(c, p))) continue;
        stream.eeg(c, packet(static_cast<std::uint16_t>(firstSequence + p), signals[c],
                             (firstSequence + p) * 12L));
      }
    }
  }

  std::vector<Event> ofType(const std::string& type) const {
    std::vector<Event> out;
    for (const auto& e : events) {
      if (e["type"] == type) out.push_back(e);
    }
    return out;
  }

  Event lastBands() const {
    auto all = ofType("bands");
    return all.empty() ? Event() : all.back()["bands"];
  }
};

std::string dominant(const Event& bands) {
  std::string best;
  double most = -1;
  for (const auto& [name, value] : bands.items()) {
    if (value.get<double>() > most) most = value.get<double>(), best = name;
  }
  return best;
}

constexpr int kTwoSeconds = 43;  // packets of 12 samples

}  // namespace

TEST(HeadbandBands, TheRhythmDecidesTheDominantBand) {
  Recorder alpha;
  alpha.feed({sine(10), sine(10), sine(10), sine(10)}, kTwoSeconds);
  auto bands = alpha.lastBands();
  ASSERT_TRUE(bands.is_object());
  EXPECT_EQ(dominant(bands), "alpha") << bands;
  EXPECT_GT(bands["alpha"].get<double>(), 0.9) << bands;
  double sum = 0;
  for (const char* name : kBandNames) sum += bands[name].get<double>();
  EXPECT_NEAR(sum, 1.0, 1e-3) << "relative powers";

  Recorder beta;
  beta.feed({sine(20), sine(20), sine(20), sine(20)}, kTwoSeconds);
  EXPECT_EQ(dominant(beta.lastBands()), "beta") << beta.lastBands();

  // An electrode offset is not delta: a 6 Hz rhythm on a large constant stays theta.
  Recorder offset;
  Signal theta = sine(6);
  offset.feed({[&](long n) { return 400 + theta(n); }, {}, {}, {}}, kTwoSeconds);
  EXPECT_EQ(dominant(offset.lastBands()), "theta") << offset.lastBands();

  Recorder spread;
  spread.feed({noise(20, 1), noise(20, 2), noise(20, 3), noise(20, 4)}, kTwoSeconds);
  auto flat = spread.lastBands();
  for (const char* name : kBandNames) {
    EXPECT_GT(flat[name].get<double>(), 0.02) << name << " " << flat;
    EXPECT_LT(flat[name].get<double>(), 0.6) << name << " " << flat;
  }
}

TEST(HeadbandBands, OnlyElectrodesWithGoodContactAreAveraged) {
  Recorder r;
  r.feed({sine(10), [](long) { return 0.0; }, sine(20), noise(400, 5)}, kTwoSeconds);
  std::map<std::string, std::string> contact;
  for (const auto& e : r.ofType("contact")) contact[e["channel"]] = e["quality"];
  EXPECT_EQ(contact, (std::map<std::string, std::string>{
                         {"TP9", "good"}, {"AF7", "none"}, {"AF8", "good"}, {"TP10", "poor"}}));
  auto last = r.ofType("bands").back();
  EXPECT_EQ(last["electrodes"], Event::parse(R"(["TP9","AF8"])"));
  EXPECT_NEAR(last["bands"]["alpha"].get<double>(), 0.5, 0.05) << last;
  EXPECT_NEAR(last["bands"]["beta"].get<double>(), 0.5, 0.05) << last;

  Recorder none;
  none.feed({[](long) { return 0.0; }, {}, {}, {}}, kTwoSeconds);
  EXPECT_TRUE(none.ofType("bands").empty()) << "no contact anywhere: no bands";
  EXPECT_FALSE(none.ofType("contact").empty());
  EXPECT_EQ(none.ofType("contact").back()["quality"], "none");
}

TEST(HeadbandEvents, ReadingsCadenceLossesAndBattery) {
  Recorder r;
  // Ten seconds; TP9 loses packets 100..102, all channels lose nothing else.
  r.feed({sine(10), sine(10), sine(10), sine(10)}, 214, 65400,
         [](std::size_t c, int p) { return c == 0 && p >= 100 && p < 103; });

  auto eeg = r.ofType("eeg");
  ASSERT_EQ(eeg.size(), 214u) << "one event per packet time, all four electrodes together";
  const Event& first = eeg.front();
  EXPECT_EQ(first["sequence"], 65400);
  EXPECT_EQ(first["samples"]["TP9"].size(), 12u);
  EXPECT_EQ(first["channels"]["TP9"], first["samples"]["TP9"][11]) << "the newest sample";
  EXPECT_EQ(eeg[136]["sequence"], 0) << "the sequence wraps";
  EXPECT_FALSE(eeg[100].at("channels").contains("TP9")) << "a lost packet is not invented";

  const auto bands = r.ofType("bands");
  EXPECT_GE(bands.size(), 34u) << "about four a second once a second has been seen";
  EXPECT_LE(bands.size(), 40u);
  EXPECT_EQ(dominant(r.lastBands()), "alpha") << "three lost packets are bridged";

  auto losses = r.ofType("packetLoss");
  ASSERT_EQ(losses.size(), 1u);
  EXPECT_EQ(losses[0]["lost"], 3);
  EXPECT_EQ(r.stream.packetsLost(), 3u);
  EXPECT_LE(r.events.size(), 10 * (22 + 4 + 4 + 1) + 5u) << "a few dozen lines a second";

  r.stream.telemetry(std::vector<std::uint8_t>{0, 1, 0xB0, 0x00});  // 88 %
  r.stream.telemetry(std::vector<std::uint8_t>{0, 2, 0xAF, 0xC0});  // 87.9 %: no news
  r.stream.telemetry(std::vector<std::uint8_t>{0, 3, 0xAE, 0x00});  // 87 %
  auto battery = r.ofType("battery");
  ASSERT_EQ(battery.size(), 2u);
  EXPECT_EQ(battery[0], Event::parse(R"({"type":"battery","percent":88.0})"));
  EXPECT_EQ(battery[1]["percent"], 87.0);
}

}  // namespace headband_stream_test
