// The frame schedule as a pure function: frames per cycle from the line's ceiling and the
// shape, frame times locked to the pulse phase, and the steady mean beyond the line's reach.
#include <gtest/gtest.h>

#include <cmath>

#include "dmx/dmx_request.hpp"
#include "dmx/frame_schedule.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace frame_schedule_test {

using namespace solvera::dmx;
using namespace std::chrono_literals;

namespace {

Stream pulse(double hz, const std::string& shape, std::vector<std::int64_t> channels = {1}) {
  DmxRequest request;
  request.dmx = {200};
  request.pulseHz = hz;
  request.pulseChannels = std::move(channels);
  request.pulseShape = shape;
  return prepareStream(std::move(request), 7'000'000'000);
}

// A DMX node's line with 512 channels: 22.76 ms per frame, about 43.9 frames a second.
const double kFullLine = 1e9 / static_cast<double>(dmxFrameNs(512));

}  // namespace

TEST(FrameSchedule, FramesPerCycleFollowTheLineAndTheShape) {
  EXPECT_EQ(dmxFrameNs(512), 22'760'000) << "break and mark, start code and 512 slots of 44 us";
  EXPECT_EQ(dmxFrameNs(2), kDmxMinFrameNs) << "never closer than the standard allows";

  struct Case {
    double hz;
    const char* shape;
    double ceiling;
    FrameSchedule::Kind kind;
    int frames;
  };
  using K = FrameSchedule::Kind;
  const Case cases[] = {
      {10, "sine", kFullLine, K::Pulsed, 4},       // 40 frames a second: four per cycle
      {11, "sine", kFullLine, K::Mean, 0},         // would need 44 a second
      {21, "square", kFullLine, K::Pulsed, 2},     // frames on the two edges
      {12, "square", kFullLine, K::Pulsed, 2},     // three would fit, but edges need an even count
      {22, "square", kFullLine, K::Mean, 0},
      {8, "trapezoid", kFullLine, K::Pulsed, 5},   // its corners need five
      {9, "trapezoid", kFullLine, K::Mean, 0},
      {0.5, "sawtooth", kFullLine, K::Pulsed, 40},  // slow pulses keep the steady rate of 20 a second
      {4, "triangle", kFullLine, K::Pulsed, 10},
      {40, "sine", 610, K::Pulsed, 6},             // short frames: capped at 250 a second
      {10, "sine", 610, K::Pulsed, 12},            // twelve per cycle are plenty
  };
  for (const auto& c : cases) {
    auto schedule = frameSchedule(pulse(c.hz, c.shape), c.ceiling, 50ms);
    EXPECT_EQ(schedule.kind, c.kind) << c.hz << " Hz " << c.shape;
    EXPECT_EQ(schedule.framesPerCycle, c.frames) << c.hz << " Hz " << c.shape;
    if (c.kind == K::Pulsed) {
      EXPECT_DOUBLE_EQ(schedule.frameHz, c.hz * c.frames);
      EXPECT_LE(schedule.frameHz, std::min(c.ceiling, kMaxPulseFramesPerSecond) + 1e-9) << "never faster than the line";
    } else {
      EXPECT_EQ(schedule.periodNs, 50'000'000) << "the mean is re-sent like steady light";
    }
  }

  auto steady = frameSchedule(pulse(10, "sine", {}), kFullLine, 25ms);
  EXPECT_EQ(steady, (FrameSchedule{FrameSchedule::Kind::Steady, 25'000'000, 0, 0}))
      << "no channels to pulse: steady light as before";
  Stream unpulsed = pulse(10, "sine");
  unpulsed.pulseHz.reset();
  EXPECT_EQ(frameSchedule(unpulsed, kFullLine, 50ms).kind, FrameSchedule::Kind::Steady);
  // A pulse that changes nothing on a wire is steady light, not frames at the pulsed rate.
  EXPECT_EQ(frameSchedule(pulse(10, "sine", {0, -3, 2, 600}), kFullLine, 50ms).kind, FrameSchedule::Kind::Steady)
      << "every pulse channel outside the one-value frame";
  Stream dark = pulse(10, "sine");
  dark.request.dmx = {0};
  EXPECT_EQ(frameSchedule(dark, kFullLine, 50ms).kind, FrameSchedule::Kind::Steady) << "a dark channel never varies";
  Stream beyondTheWire = pulse(10, "sine", {513});
  beyondTheWire.request.dmx.assign(600, 200);
  EXPECT_EQ(frameSchedule(beyondTheWire, kFullLine, 50ms).kind, FrameSchedule::Kind::Steady)
      << "channel 513 never reaches a wire";
  beyondTheWire.request.pulseChannels = std::vector<std::int64_t>{513, 512};
  EXPECT_EQ(frameSchedule(beyondTheWire, kFullLine, 50ms).kind, FrameSchedule::Kind::Pulsed);

  // The limit the page is told is exactly where the schedule turns to the mean.
  for (const char* shape : {"sine", "triangle", "square", "trapezoid", "sawtooth"}) {
    for (double ceiling : {kFullLine, 1e9 / static_cast<double>(dmxFrameNs(512, 1'410'000)), 120.0}) {
      const double limit = maxFaithfulPulseHz(shape, ceiling);
      EXPECT_EQ(frameSchedule(pulse(limit, shape), ceiling, 50ms).kind, FrameSchedule::Kind::Pulsed)
          << shape << " at " << limit << " Hz, ceiling " << ceiling;
      if (limit < kMaxPulseHz) {
        EXPECT_EQ(frameSchedule(pulse(limit + 0.01, shape), ceiling, 50ms).kind, FrameSchedule::Kind::Mean)
            << shape << " just above " << limit << " Hz, ceiling " << ceiling;
      }
    }
  }
}

TEST(FrameSchedule, FrameTimesRepeatTheSamePositionsInEveryCycle) {
  const Stream stream = pulse(7, "sine");
  const auto schedule = frameSchedule(stream, kFullLine, 50ms);
  ASSERT_EQ(schedule.framesPerCycle, 6);
  const std::int64_t epoch = stream.pulseEpoch;
  const std::int64_t period = schedule.periodNs;
  for (std::int64_t k = 0; k < 6 * 1000; k += 997) {
    const std::int64_t t = frameTimeNs(schedule, epoch, k);
    EXPECT_NEAR(t - epoch, static_cast<double>(k) * 1e9 / 42.0, 1.0) << "frame " << k << " on the grid";
    EXPECT_NEAR(frameTimeNs(schedule, epoch, k + 6) - t, 1e9 / 7, 1.0) << "one cycle later";
    EXPECT_DOUBLE_EQ(framePosition(schedule, k), static_cast<double>(k % 6) / 6);
    // The drawn level is the waveform's own at that instant.
    EXPECT_EQ(modulateFrameAt(stream, framePosition(schedule, k)), modulateFrame(stream, t)) << "frame " << k;
    // A late wake-up still stands for its frame, and so does one a little early; the next
    // frame is the one after.
    EXPECT_EQ(dueFrameIndex(schedule, epoch, t + period * 3 / 4 - 1), k);
    EXPECT_EQ(dueFrameIndex(schedule, epoch, t - period / 4 + 1), k);
    EXPECT_EQ(dueFrameIndex(schedule, epoch, t - period / 4 - 1), k - 1);
    EXPECT_EQ(nextFrameIndex(schedule, epoch, t), k + 1);
    EXPECT_EQ(nextFrameIndex(schedule, epoch, t - 1), k);
  }

  // A new rate mid-stream keeps the epoch: the new grid starts from it, and its frames show the
  // waveform where the old epoch puts it at the new rate.
  Stream faster = pulse(9, "sine");
  faster.pulseEpoch = epoch;
  const auto next = frameSchedule(faster, kFullLine, 50ms);
  ASSERT_EQ(next.framesPerCycle, 4);
  const std::int64_t handOver = epoch + 3'210'000'000;
  const std::int64_t k = nextFrameIndex(next, epoch, handOver);
  const std::int64_t t = frameTimeNs(next, epoch, k);
  EXPECT_GT(t, handOver);
  EXPECT_LE(t - handOver, next.periodNs);
  EXPECT_EQ(modulateFrameAt(faster, framePosition(next, k)), modulateFrame(faster, t));
}

TEST(FrameSchedule, MeanLevelIsWhatThePulsedFramesAverageTo) {
  EXPECT_EQ(meanFrame(pulse(30, "sine")), (std::vector<std::uint8_t>{100}));
  EXPECT_EQ(meanFrame(pulse(30, "square")), (std::vector<std::uint8_t>{100}));
  EXPECT_EQ(meanFrame(pulse(30, "trapezoid")), (std::vector<std::uint8_t>{120})) << "on for 60 % of a cycle";
  EXPECT_EQ(meanFrame(pulse(30, "sine", {1, 1})), (std::vector<std::uint8_t>{75}))
      << "a channel listed twice is scaled twice: 200 x 3/8";
  Stream mixed = pulse(30, "sawtooth", {2, 9});
  mixed.request.dmx = {50, 255, 7};
  EXPECT_EQ(meanFrame(mixed), (std::vector<std::uint8_t>{50, 128, 7})) << "only pulse channels move";

  // Against the plain average of the pulsed frames, over a list far longer than a wire: only
  // the first 512 values come back.
  Stream huge = pulse(30, "triangle", {3, 700, 3, 1, 513});
  huge.request.dmx.assign(200'000, 9);
  huge.request.dmx[0] = 255;
  huge.request.dmx[2] = 101;
  const auto mean = meanFrame(huge);
  ASSERT_EQ(mean.size(), 512u);
  Stream shortCopy = huge;
  shortCopy.request.dmx.resize(512);
  std::vector<double> sum(512, 0.0);
  for (int i = 0; i < 1000; ++i) {
    const auto frame = modulateFrameAt(shortCopy, (i + 0.5) / 1000);
    for (std::size_t c = 0; c < 512; ++c) sum[c] += frame[c];
  }
  for (std::size_t c = 0; c < 512; ++c) {
    EXPECT_EQ(mean[c], static_cast<int>(std::lround(sum[c] / 1000))) << "channel " << c + 1;
  }
}

TEST(PulseAnchor, PinsThePhaseAtItsInstantWithTheEpochNeverAhead) {
  struct Case {
    std::int64_t atNs;
    double position;
    double hz;
  };
  const std::int64_t now = 50'000'000'000;
  for (const Case& c : {Case{now, 0.25, 2}, Case{now + 137'000'000, 0.9, 7.83}, Case{now + 5'000'000'000, 0.0, 40},
                        Case{now - 3'300'000'000, 0.5, 0.1}, Case{now + 20'000'000, 0.999, 0.1}}) {
    Stream stream = pulse(c.hz, "sine");
    stream.pulseEpoch = anchoredEpoch({c.atNs, c.position}, c.hz, now);
    EXPECT_LE(stream.pulseEpoch, now) << "anchor at " << c.atNs - now << " ns, " << c.hz << " Hz";
    EXPECT_NEAR(pulsePosition(stream, c.atNs), c.position, 1e-6) << "anchor at " << c.atNs - now << " ns";
    EXPECT_GE(pulsePosition(stream, c.atNs - 1), 0.0);
  }
}

}  // namespace frame_schedule_test
