// The session's clock: live blocks, pulled in whatever sizes and layouts a device asks for from
// another thread, are the very samples a render to a file makes; and the published clock says
// when each block is heard, the device's jitter smoothed away.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>

#include "common/files.hpp"
#include "session/session_renderer.hpp"
#include "session/tests/session_test_support.hpp"

namespace solvera::session {
namespace {

TEST(SessionRenderer, LiveGivesTheSamplesOfARenderToAFileAndAnEvenClock) {
  const auto sessions = parseSessionLibrary(readWholeFile(sourceDir() / "public/sessions/library.json").value());
  ASSERT_FALSE(sessions.empty());
  const Session& session = sessions.front();  // noise, reverb, binaural with the light at the beat's rate
  ProgramSettings settings;
  settings.audio.latencyMs = 25;
  settings.audio.bass = 3;
  SessionRenderer::Options options;
  options.noiseSeed = 1234;
  SessionRenderer live(buildTimeline(session), session.audioMode.value_or(""), settings, nullptr, options);
  SessionRenderer offline(buildTimeline(session), session.audioMode.value_or(""), settings, nullptr, options);

  constexpr double kRate = kToneSampleRate;
  constexpr std::size_t kFrames = 12 * 44100;
  constexpr std::int64_t kStartNs = 5'000'000'000;
  constexpr std::int64_t kLatencyNs = 40'000'000;
  std::vector<float> heard(2 * kFrames);
  std::vector<ClockSnapshot> seen;
  std::atomic<bool> done{false};
  std::thread device([&] {
    const std::size_t sizes[] = {480, 512, 1000, 33, 2048, 256, 777};
    std::vector<float> left(2048), right(2048);
    std::uint32_t noise = 17;
    std::size_t at = 0;
    for (std::size_t k = 0; at < kFrames; ++k) {
      const std::size_t n = std::min(sizes[k % std::size(sizes)], kFrames - at);
      // The device's thread wakes up to 2 ms early or late.
      noise = noise * 1664525u + 1013904223u;
      const std::int64_t jitter = static_cast<std::int64_t>(noise % 4'000'001u) - 2'000'000;
      const AudioBlockTiming timing{kStartNs + std::llround(static_cast<double>(at) * 1e9 / kRate) + jitter, kLatencyNs, true};
      if (k % 2 == 0) {
        const AudioBuffer buffer{heard.data() + 2 * at, 2};
        live.renderTimed(n, AudioBufferList(&buffer, 1), timing);
      } else {
        const AudioBuffer planar[2] = {{left.data(), 1}, {right.data(), 1}};
        live.renderTimed(n, AudioBufferList(planar, 2), timing);
        for (std::size_t i = 0; i < n; ++i) {
          heard[2 * (at + i)] = left[i];
          heard[2 * (at + i) + 1] = right[i];
        }
      }
      seen.push_back(live.snapshot());
      at += n;
    }
    done = true;
  });
  // Meanwhile others read the clock and hand in settings, as the player does.
  std::uint64_t lastBlocks = 0;
  while (!done) {
    const ClockSnapshot snap = live.snapshot();
    EXPECT_GE(snap.blocks, lastBlocks);
    lastBlocks = snap.blocks;
    live.setSettings(settings);
  }
  device.join();

  std::vector<float> file(2 * kFrames);
  for (std::size_t at = 0; at < kFrames; at += 4096) offline.renderInterleaved(file.data() + 2 * at, std::min<std::size_t>(4096, kFrames - at));
  std::size_t firstDifference = kFrames;
  for (std::size_t i = 0; i < 2 * kFrames && firstDifference == kFrames; ++i) {
    if (std::memcmp(&heard[i], &file[i], sizeof(float)) != 0) firstDifference = i / 2;
  }
  EXPECT_EQ(firstDifference, kFrames) << "live and file differ from frame " << firstDifference;
  double energy = 0;
  for (std::size_t i = 2 * 44100 * 10; i < 2 * kFrames; ++i) energy += static_cast<double>(file[i]) * file[i];
  EXPECT_GT(std::sqrt(energy / (2 * 44100 * 2)), 0.01) << "the comparison is of sound, not of silence";

  // Each block is heard at its place in the stream plus the device's and the extra latency;
  // the loop takes the 2 ms of jitter down to a small fraction.
  double worst = 0;
  for (const ClockSnapshot& snap : seen) {
    ASSERT_TRUE(snap.audible);
    if (snap.sessionS < 3) continue;
    const double ideal = kStartNs + snap.sessionS * 1e9 + kLatencyNs + 25e6;
    worst = std::max(worst, std::fabs(static_cast<double>(snap.heardNs) - ideal));
    // Light and beat at one rate: the light keeps the beat's phase, half a cycle on (binaural).
    if (snap.lightHz == snap.beatHz) {
      EXPECT_NEAR(std::fabs(std::remainder(snap.lightPhase - snap.beatPhase - 0.5, 1.0)), 0.0, 1e-9) << snap.sessionS;
    }
  }
  EXPECT_LT(worst, 0.3e6) << "heard times off by " << worst / 1e6 << " ms";
  EXPECT_NEAR(seen.back().sessionS, 12.0, 256 / kRate);
}

}  // namespace
}  // namespace solvera::session
