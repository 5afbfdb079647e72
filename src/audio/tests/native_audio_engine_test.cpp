// NativeAudioEngine's states and its render callback, with a backend the test pulls from.
#include <gtest/gtest.h>

#include "audio/native_audio_engine.hpp"
#include "audio/tests/fake_audio_output.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace native_audio_engine_test {

using namespace solvera;
using namespace solvera::test;

namespace {

class NativeAudioEngineTest : public ::testing::Test {
 protected:
  // What the pure render gives for these settings from the given phases and filter memory,
  // as interleaved stereo.
  static std::vector<float> expected(const ToneSettings& s, TonePhases& phases, Equalizer& eq,
                                     PeakLimiter& limiter, std::size_t frames) {
    std::vector<float> block(frames * 2);
    const AudioBuffer buffer{block.data(), 2};
    renderTone(s, phases, eq, limiter, frames, AudioBufferList(&buffer, 1));
    return block;
  }

  std::shared_ptr<FakeAudioBackend> backend = std::make_shared<FakeAudioBackend>();
  NativeAudioEngine engine{backend};
};

}  // namespace

TEST_F(NativeAudioEngineTest, IdleUpdateAndStopKeepSettings) {
  EXPECT_FALSE(engine.isRunning());
  EXPECT_EQ(engine.settings(), ToneSettings{}) << "528 Hz, 6 Hz, 0.2, isochronic sine";
  engine.update({"theta", "Sine", 5, 100, 2, -3, 20, 0, 0});
  EXPECT_EQ(engine.settings(),
            ToneSettings::validated({"isochronic", "sine", 20, 40, 1, -1, 12, 0, 0}));
  engine.stop();
  EXPECT_FALSE(engine.isRunning());
  EXPECT_EQ(engine.settings().carrier, 20) << "stop keeps the settings";
  EXPECT_EQ(engine.phases(), TonePhases{});
  EXPECT_EQ(backend->starts, 0);
}

TEST_F(NativeAudioEngineTest, StartOpensOneOutputAndRendersTheSettings) {
  engine.start({"binaural", "sine", 200, 10, 0.5, 0, 3, -2, 1});
  ASSERT_TRUE(engine.isRunning());
  EXPECT_EQ(backend->lastFormat.sampleRate, 44100);
  EXPECT_EQ(backend->lastFormat.channels, 2);

  auto s1 = ToneSettings::validated({"binaural", "sine", 200, 10, 0.5, 0, 3, -2, 1});
  TonePhases phases;
  Equalizer eq;
  PeakLimiter limiter;
  EXPECT_EQ(backend->pull(512), expected(s1, phases, eq, limiter, 512));

  // A second start only changes settings; the next block continues the phases with them.
  engine.start({"monaural", "triangle", 300, 4, 0.8, 0.5, 0, 0, 0});
  EXPECT_EQ(backend->starts, 1);
  auto s2 = ToneSettings::validated({"monaural", "triangle", 300, 4, 0.8, 0.5, 0, 0, 0});
  EXPECT_EQ(backend->pull(300), expected(s2, phases, eq, limiter, 300));

  engine.update({"isochronic", "square", 150, 12, 0.3, 0, 0, 6, 0});
  auto s3 = ToneSettings::validated({"isochronic", "square", 150, 12, 0.3, 0, 0, 6, 0});
  EXPECT_EQ(backend->pull(1000), expected(s3, phases, eq, limiter, 1000));

  engine.stop();
  EXPECT_FALSE(engine.isRunning());
  EXPECT_TRUE(backend->devices[0]->closed);
  EXPECT_EQ(engine.phases(), TonePhases{}) << "stop resets the phases";
  EXPECT_EQ(engine.settings(), s3);

  // The next start begins at phase 0 with a fresh equaliser.
  engine.start({"binaural", "sine", 200, 10, 0.5, 0, 3, -2, 1});
  EXPECT_EQ(backend->starts, 2);
  TonePhases fresh;
  Equalizer freshEq;
  PeakLimiter freshLimiter;
  EXPECT_EQ(backend->pull(512), expected(s1, fresh, freshEq, freshLimiter, 512));
}

TEST_F(NativeAudioEngineTest, FailedStartStaysIdleAndALaterStartTriesAgain) {
  backend->failNext = true;
  try {
    engine.start({"monaural", "sine", 400, 8, 0.6, 0, 0, 0, 0});
    FAIL() << "start should fail";
  } catch (const ErrorException& e) {
    EXPECT_EQ(e.error().message, "ALSA: Couldn't open audio device");
  }
  EXPECT_FALSE(engine.isRunning());
  EXPECT_EQ(engine.settings().carrier, 400) << "the new settings are stored";

  engine.start({"monaural", "sine", 410, 8, 0.6, 0, 0, 0, 0});
  EXPECT_EQ(backend->starts, 2);
  EXPECT_TRUE(engine.isRunning());
}

TEST_F(NativeAudioEngineTest, AStoppedDeviceIsReportedAndReplacedOnStart) {
  engine.start({"binaural", "sine", 200, 10, 0.5, 0, 0, 0, 0});
  backend->pull(100);
  backend->devices[0]->running = false;  // unplugged
  EXPECT_FALSE(engine.isRunning());

  engine.start({"binaural", "sine", 200, 10, 0.5, 0, 0, 0, 0});
  EXPECT_EQ(backend->starts, 2);
  EXPECT_TRUE(backend->devices[0]->closed) << "the dead stream is released";
  EXPECT_TRUE(engine.isRunning());
  EXPECT_NE(engine.phases(), TonePhases{}) << "only stop resets the phases";
}

TEST_F(NativeAudioEngineTest, ACallbackAfterTheEngineIsGoneWritesSilence) {
  std::shared_ptr<AudioRenderSource> source;
  {
    NativeAudioEngine shortLived(backend);
    shortLived.start({"binaural", "sine", 200, 10, 1, 0, 0, 0, 0});
    source = backend->source;
  }
  EXPECT_EQ(backend->pull(64), std::vector<float>(128, 0.0f));
}

}  // namespace native_audio_engine_test
