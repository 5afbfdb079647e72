// The output core with a transport of the test's own: which requests earn a frame of their own,
// a device that hangs, and pulse phases that survive rate changes.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "common/error.hpp"
#include "dmx/dmx_output.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace dmx_output_test {

using namespace solvera;
using namespace solvera::dmx;
using namespace std::chrono_literals;

namespace {

// Keeps what it is asked to write; a line as slow as the test says; a write can be held.
class RecordingTransport final : public DmxTransport {
 public:
  struct Write {
    std::int64_t frameTimeNs;
    std::vector<std::uint8_t> frame;
  };
  explicit RecordingTransport(std::int64_t frameNs, bool mayStall = false) : frameNs_(frameNs), mayStall_(mayStall) {}

  bool sameStream(const DmxRequest& a, const DmxRequest& b) const override { return a.universe == b.universe; }
  void write(const Stream&, std::span<const std::uint8_t> frame, std::size_t, std::int64_t frameTimeNs) override {
    std::unique_lock lock(mutex_);
    writing_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return !held_; });
    writing_ = false;
    writes_.push_back({frameTimeNs, {frame.begin(), frame.end()}});
    changed_.notify_all();
  }
  bool writesMayStall() const override { return mayStall_; }
  void blackout(const Stream*) override {}
  void close() override {}
  std::int64_t frameNs(std::size_t) const override { return frameNs_; }
  std::size_t shortSlots(std::size_t highest) const override { return highest; }

  std::vector<Write> writes() {
    std::lock_guard lock(mutex_);
    return writes_;
  }
  // Waits (60 s at most) until there are at least n writes.
  std::vector<Write> waitForWrites(std::size_t n) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 60s, [&] { return writes_.size() >= n; });
    return writes_;
  }
  void hold(bool held) {
    std::lock_guard lock(mutex_);
    held_ = held;
    changed_.notify_all();
  }
  bool waitUntilWriting() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 60s, [&] { return writing_; });
  }

 private:
  const std::int64_t frameNs_;
  const bool mayStall_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Write> writes_;
  bool held_ = false;
  bool writing_ = false;
};

DmxRequest request(std::vector<std::uint8_t> dmx, std::uint16_t universe = 1) {
  DmxRequest r;
  r.targetIp = "127.0.0.1";
  r.universe = universe;
  r.dmx = std::move(dmx);
  return r;
}

DmxRequest sine(std::uint8_t value, double hz, std::optional<PulseAnchor> anchor = std::nullopt) {
  auto r = request({value});
  r.pulseHz = hz;
  r.pulseChannels = std::vector<std::int64_t>{1};
  r.pulseShape = "sine";
  r.pulseAnchor = anchor;
  return r;
}

std::size_t framesAt(const std::vector<RecordingTransport::Write>& writes, std::int64_t timeNs) {
  return static_cast<std::size_t>(std::count_if(writes.begin(), writes.end(),
                                                [&](const auto& w) { return w.frameTimeNs == timeNs; }));
}

}  // namespace

TEST(DmxOutput, OnlyAChangeEarnsAFrameOfItsOwnAndThenNoFasterThanTheLine) {
  FakeClock clock;
  // A line that takes 200 ms per frame, and re-sends only once an hour: every write here is one
  // the requests caused.
  auto owned = std::make_unique<RecordingTransport>(200'000'000);
  RecordingTransport& line = *owned;
  DmxOutput output("test.output", std::chrono::hours(1), clock, std::move(owned));

  output.send(request({10, 20}));
  ASSERT_EQ(line.writes().size(), 1u) << "a new stream goes out at once";
  output.send(request({10, 20}));
  output.send(request({10, 20}));
  EXPECT_EQ(line.writes().size(), 1u) << "unchanged requests send nothing of their own";

  clock.advanceMs(50);  // well within the line's 200 ms
  output.send(request({30, 40}));
  output.send(request({50, 60}));
  EXPECT_EQ(line.writes().size(), 1u) << "changes too soon wait for the line";
  auto writes = line.waitForWrites(2);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[1].frame, (std::vector<std::uint8_t>{50, 60})) << "the next free slot carries the latest request";
  EXPECT_EQ(line.writes().size(), 2u) << "and the one it replaced never went out";

  output.send(request({0, 0, 0}));
  writes = line.writes();
  ASSERT_EQ(writes.size(), 3u) << "a blackout never waits";
  EXPECT_EQ(writes[2].frame, (std::vector<std::uint8_t>{0, 0, 0}));

  clock.advanceMs(250);
  output.send(request({70}));
  EXPECT_EQ(line.writes().size(), 4u) << "a change once the line is free goes out at once";
  output.send(request({70}, 2));
  EXPECT_EQ(line.writes().size(), 5u) << "another destination is another line";
}

TEST(DmxOutput, AStalledDeviceWriteNeverHoldsTheCaller) {
  FakeClock clock;
  auto owned = std::make_unique<RecordingTransport>(1'000'000, /*mayStall=*/true);
  RecordingTransport& device = *owned;
  DmxOutput output("test.stalled", std::chrono::hours(1), clock, std::move(owned));

  device.hold(true);
  std::atomic<bool> released{false};
  // Should a send hang on the device, the test fails instead of hanging with it.
  std::thread watchdog([&] {
    for (int i = 0; i < 600 && !released; ++i) std::this_thread::sleep_for(100ms);
    device.hold(false);
  });
  std::atomic<int> returned{0};
  output.send(request({1}));  // its own first frame hangs in the device
  if (!released) ++returned;
  ASSERT_TRUE(device.waitUntilWriting());
  clock.advanceMs(10);
  output.send(request({2}));  // waits behind the hanging write
  if (!released) ++returned;
  released = true;
  device.hold(false);
  watchdog.join();
  EXPECT_EQ(returned, 2) << "both requests were answered while the device hung";
  const auto writes = device.waitForWrites(2);
  ASSERT_GE(writes.size(), 2u);
  EXPECT_EQ(writes.back().frame, (std::vector<std::uint8_t>{2})) << "the waiting request is taken in turn";
}

TEST(DmxOutput, PulseRatesAndAnchorsMoveTheGridWithoutJumpingThePhase) {
  FakeClock clock(100'000'000'000);
  auto owned = std::make_unique<RecordingTransport>(1'000'000);
  RecordingTransport& line = *owned;
  DmxOutput output("test.pulse", std::chrono::milliseconds(50), clock, std::move(owned));
  auto epoch = [&] { return output.inspect([](const DmxOutputState& s, DmxTransport&) { return s.stream->pulseEpoch; }); };

  output.send(sine(200, 1.0));
  const std::int64_t start = clock.monotonicNs();
  EXPECT_EQ(epoch(), start);
  clock.advanceMs(310);
  output.send(sine(200, 2.0));  // a step of a glide, 0.31 of a cycle in at 1 Hz
  EXPECT_EQ(epoch(), clock.monotonicNs() - 155'000'000) << "the position at the step stays 0.31";
  EXPECT_EQ(framesAt(line.writes(), clock.monotonicNs()), 0u) << "a new rate alone sends no frame of its own";
  output.send(sine(200, 2.0));
  EXPECT_EQ(epoch(), clock.monotonicNs() - 155'000'000) << "the same rate keeps the epoch";

  // The player pins the phase to its clock: here a sound heard 80 ms from now at position 0.6.
  clock.advanceMs(3);
  const std::int64_t now = clock.monotonicNs();
  output.send(sine(200, 5.0, PulseAnchor{now + 80'000'000, 0.6}));
  EXPECT_EQ(epoch(), now + 80'000'000 - 120'000'000) << "0.6 of a 200 ms cycle before the anchor";
  EXPECT_EQ(framesAt(line.writes(), now), 0u) << "a new anchor alone sends no frame of its own";
  // A new colour with its anchor still goes out at once, drawn at the anchored phase.
  clock.advanceMs(40);
  const std::int64_t later = clock.monotonicNs();
  output.send(sine(100, 5.0, PulseAnchor{now + 80'000'000, 0.6}));
  const auto writes = line.writes();
  ASSERT_EQ(framesAt(writes, later), 1u);
  const auto drawn = std::find_if(writes.begin(), writes.end(), [&](const auto& w) { return w.frameTimeNs == later; });
  // 40 ms before the anchor at 5 Hz: position 0.4.
  EXPECT_EQ(drawn->frame[0], static_cast<int>(std::lround(100 * pulseMultiplier(0.4, "sine"))));
}

}  // namespace dmx_output_test
