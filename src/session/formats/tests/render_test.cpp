// Renders to every format: the length to the frame, the rate, and the beat measured from the
// sound itself as the timeline has it; a render that is cancelled or cannot be written leaves
// nothing behind.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <filesystem>

#include "session/formats/render_job.hpp"
#include "session/formats/tests/beat_measure.hpp"
#include "session/timeline.hpp"

namespace solvera::session {
// This file's own names: the test programs compile their files together in batches.
namespace render_test {
namespace {

namespace fs = std::filesystem;

class ScratchFolder {
 public:
  ScratchFolder() {
    char pattern[] = "/tmp/solvera-render-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~ScratchFolder() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// A binaural beat gliding 6 -> 10 Hz over 20 s on a 220 Hz carrier, no noise.
Session glidingBeat() {
  const Json raw = {{"title", "Glijden"},
                    {"audioMode", "binaural"},
                    {"phases",
                     {{{"start", "00:00"}, {"end", "00:20"}, {"audioFrequencyHz", "6 \u2192 10"},
                       {"carrierFrequencyHz", "220"}, {"pulseVolume", 80}, {"noiseVolume", 0}, {"musicVolume", 0},
                       {"reverbMix", 0}}}}};
  return *checkSession(raw).session;
}

TEST(RenderToFile, EveryFormatHasItsLengthRateAndTheTimelinesBeat) {
  ScratchFolder folder;
  const Session session = glidingBeat();
  const Timeline timeline = buildTimeline(session);
  struct Case {
    const char* name;
    int rate;
  };
  for (const Case c : {Case{"s.wav", 44100}, Case{"s.flac", 44100}, Case{"s.ogg", 44100}, Case{"s.opus", 48000},
                       Case{"s.mp3", 44100}}) {
    SCOPED_TRACE(c.name);
    RenderRequest request;
    request.session = session;
    request.output = folder.path() / c.name;
    request.fromS = 2;
    request.toS = 18;
    std::atomic<bool> cancel{false};
    std::uint64_t lastDone = 0;
    std::uint64_t total = 0;
    ASSERT_FALSE(renderToFile(request, cancel, [&](std::uint64_t done, std::uint64_t all) {
      EXPECT_GT(done, lastDone);
      lastDone = done;
      total = all;
    }));
    EXPECT_EQ(lastDone, total);
    SF_INFO info{};
    SNDFILE* file = sf_open(request.output.c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(info.samplerate, c.rate);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.frames, 16 * c.rate) << "16 s to the frame";
    std::vector<float> samples(static_cast<std::size_t>(info.frames) * 2);
    EXPECT_EQ(sf_readf_float(file, samples.data(), info.frames), info.frames);
    sf_close(file);
    // Every second, the beat of the sound is the timeline's (2 s in: the render's span).
    const auto beats = test::measuredBeats(samples, c.rate, 1.0, true, [&](double t) { return sampleTimeline(timeline, 2 + t).values.beatHz; });
    ASSERT_EQ(beats.size(), 16u);
    for (std::size_t k = 0; k < beats.size(); ++k) {
      const double expected = sampleTimeline(timeline, 2 + k + 0.5).values.beatHz;
      EXPECT_NEAR(beats[k], expected, 0.05) << "second " << k;
    }
  }
}

TEST(RenderToFile, CancelledOrUnwritableLeavesNothing) {
  ScratchFolder folder;
  RenderRequest request;
  request.session = glidingBeat();
  request.output = folder.path() / "cancelled.flac";
  std::atomic<bool> cancel{false};
  const auto cancelled = renderToFile(request, cancel, [&](std::uint64_t done, std::uint64_t) {
    if (done > 44100) cancel = true;
  });
  ASSERT_TRUE(cancelled);
  EXPECT_EQ(cancelled->code, 499);
  request.output = folder.path() / "missing" / "x.wav";
  cancel = false;
  const auto missing = renderToFile(request, cancel);
  ASSERT_TRUE(missing);
  EXPECT_NE(missing->message.find("bestaat niet"), std::string::npos) << missing->message;
  request.output = folder.path() / "x.wav";
  request.fromS = 30;  // beyond the end
  const auto empty = renderToFile(request, cancel);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(fs::is_empty(folder.path())) << "nothing, not even a hidden part";
}

}  // namespace
}  // namespace render_test
}  // namespace solvera::session
