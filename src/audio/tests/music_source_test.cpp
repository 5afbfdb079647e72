// Music through the mixer: every library format, the track that fits the mood, cross-fades,
// the next track at the end, broken files skipped, and a live source equal to an offline one.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "audio/music_source.hpp"
#include "audio/sound_mixer.hpp"
#include "audio/tests/spectrum.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace music_source_test {

using namespace solvera;
using solvera::test::dominantFrequency;
using solvera::test::powerSpectrum;
using solvera::test::rms;
namespace fs = std::filesystem;

namespace {

constexpr double kRate = 44100.0;
constexpr std::size_t kBlock = 512;

// A folder of the test's own, removed afterwards.
class ScratchFolder {
 public:
  ScratchFolder() {
    char pattern[] = "/tmp/solvera-music-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~ScratchFolder() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Writes a sine tone with libsndfile in the given format.
fs::path writeTone(const fs::path& path, int format, int rate, int channels, double seconds,
                   double hz, double amplitude = 0.5) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = format;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  EXPECT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
  if (file == nullptr) return path;
  const auto frames = static_cast<std::size_t>(seconds * rate);
  std::vector<float> samples(frames * static_cast<std::size_t>(channels));
  for (std::size_t f = 0; f < frames; ++f) {
    const auto v = static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * hz * f / rate));
    for (int c = 0; c < channels; ++c) samples[f * static_cast<std::size_t>(channels) + c] = v;
  }
  sf_writef_float(file, samples.data(), static_cast<sf_count_t>(frames));
  sf_close(file);
  return path;
}

SoundScene musicScene(int mood) {
  SoundScene scene;
  scene.musicLevel = 1.0;
  scene.master = 1.0;
  scene.musicMood = mood;
  return scene;
}

// Renders a sequence of (seconds, scene) steps block by block; `between` runs before each
// block (a live test waits there for the decoder).
template <typename Between>
std::vector<float> renderSteps(SoundMixer& mixer,
                               const std::vector<std::pair<double, SoundScene>>& steps,
                               Between between) {
  std::vector<float> left;
  std::vector<float> block(kBlock * 2);
  for (const auto& [seconds, scene] : steps) {
    const auto blocks = static_cast<std::size_t>(seconds * kRate / kBlock);
    for (std::size_t b = 0; b < blocks; ++b) {
      between();
      mixer.render(scene, kBlock, block.data());
      for (std::size_t i = 0; i < kBlock; ++i) left.push_back(block[2 * i]);
    }
  }
  return left;
}

std::vector<float> renderSteps(SoundMixer& mixer,
                               const std::vector<std::pair<double, SoundScene>>& steps) {
  return renderSteps(mixer, steps, [] {});
}

std::vector<float> slice(const std::vector<float>& signal, double from, double to) {
  return {signal.begin() + static_cast<long>(from * kRate),
          signal.begin() + static_cast<long>(to * kRate)};
}

// Power near a frequency (within 2 %, and the window's main lobe) as a share of the whole
// spectrum's.
double shareAt(const std::vector<float>& signal, double hz) {
  const std::size_t size = 8192;
  const std::vector<double> p = powerSpectrum(signal, size);
  const double width = std::max(0.02 * hz, 3 * kRate / size);
  double near = 0, all = 0;
  for (std::size_t k = 1; k < p.size(); ++k) {
    const double f = static_cast<double>(k) * kRate / size;
    all += p[k];
    if (std::fabs(f - hz) < width) near += p[k];
  }
  return near / all;
}

std::shared_ptr<MusicSource> source(std::vector<MusicTrack> tracks,
                                     const std::vector<std::string>& moods,
                                     MusicSource::Mode mode = MusicSource::Mode::offline) {
  return std::make_shared<MusicSource>(std::move(tracks), moods, kRate, mode);
}

}  // namespace

TEST(MusicSource, EveryLibraryFormatDecodesAtTheOutputRate) {
  ScratchFolder folder;
  struct Case {
    const char* name;
    int format;
    int rate;
    int channels;
    double hz;
  };
  const Case cases[] = {
      {"tone.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, 330},
      {"tone-mono-22k.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 22050, 1, 370},  // resampled
      {"tone.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2, 415},
      {"tone.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 44100, 2, 494},
      {"tone.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, 48000, 2, 554},  // Opus runs at 48 kHz
      {"tone.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100, 2, 622},
  };
  for (const Case& c : cases) {
    const fs::path file =
        writeTone(folder.path() / c.name, c.format, c.rate, c.channels, 2.0, c.hz);
    SoundMixer mixer;
    auto music = source({{file, {"calm"}}}, {"calm"});
    mixer.setMusic(music);
    const SoundScene scene = musicScene(0);
    mixer.snapLevels(scene);
    const std::vector<float> out = renderSteps(mixer, {{1.5, scene}});
    const std::vector<float> middle = slice(out, 0.5, 1.4);
    EXPECT_NEAR(dominantFrequency(middle, kRate), c.hz, c.hz * 0.002) << c.name;
    EXPECT_NEAR(rms(middle), 0.5 / std::sqrt(2.0), 0.05) << c.name;
    EXPECT_GT(shareAt(middle, c.hz), 0.99) << c.name << ": more than the tone came out";
    EXPECT_FALSE(music->trackFailed(0)) << c.name;
    EXPECT_EQ(music->currentTrack(), 0) << c.name;
  }
}

TEST(MusicSource, TrackFollowsTheMoodWithACrossFade) {
  ScratchFolder folder;
  const int wav = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  const int flac = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
  std::vector<MusicTrack> tracks = {
      {writeTone(folder.path() / "a.wav", wav, 44100, 2, 20, 330), {"calm", "Rustig water"}},
      {writeTone(folder.path() / "b.flac", flac, 44100, 2, 20, 660), {"focus"}},
      // The mood word is found in any of the words, whatever their case.
      {writeTone(folder.path() / "c.flac", flac, 44100, 2, 20, 440), {"Calm Sleep", "night"}},
  };
  auto music = source(tracks, {"calm", "focus", "sleep"});
  SoundMixer mixer;
  mixer.setMusic(music);
  mixer.snapLevels(musicScene(0));
  const std::vector<float> out = renderSteps(mixer, {{2.0, musicScene(0)},
                                                     {4.0, musicScene(1)},
                                                     {4.0, musicScene(2)},
                                                     // "calm" fits the sleep track: it stays.
                                                     {2.0, musicScene(0)}});
  EXPECT_GT(shareAt(slice(out, 0.5, 1.9), 330), 0.99) << "the first calm track";
  // Half-way through the three-second cross-fade both tracks sound, at about equal power.
  const std::vector<float> crossing = slice(out, 3.4, 3.6);
  EXPECT_NEAR(shareAt(crossing, 330), 0.5, 0.1);
  EXPECT_NEAR(shareAt(crossing, 660), 0.5, 0.1);
  EXPECT_GT(shareAt(slice(out, 5.2, 5.9), 660), 0.99) << "the focus track after the fade";
  EXPECT_GT(shareAt(slice(out, 9.2, 9.9), 440), 0.99) << "the sleep track after the fade";
  EXPECT_GT(shareAt(slice(out, 10.2, 11.9), 440), 0.99) << "a fitting track changed";
  EXPECT_EQ(music->currentTrack(), 2);
  // No dip in loudness through the fades: equal-power curves on uncorrelated tones.
  for (double t = 0.5; t + 0.05 < 11.9; t += 0.05) {
    EXPECT_NEAR(rms(slice(out, t, t + 0.05)), 0.354, 0.04) << "at " << t << " s";
  }
}

TEST(MusicSource, NextTrackAtTheEndWithoutAGapSkippingBrokenFiles) {
  ScratchFolder folder;
  const fs::path broken = folder.path() / "broken.mp3";
  std::ofstream(broken) << "not a sound file";
  const fs::path empty = folder.path() / "empty.wav";
  writeTone(empty, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, 0.0, 100);
  const int wav = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  std::vector<MusicTrack> tracks = {
      {writeTone(folder.path() / "a.wav", wav, 44100, 2, 1.0, 330), {"calm"}},
      {broken, {"calm"}},
      {writeTone(folder.path() / "f.wav", wav, 44100, 2, 1.0, 550), {"focus"}},
      {empty, {"calm"}},
      {writeTone(folder.path() / "b.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 22050, 2, 1.0, 440),
       {"calm"}},
  };
  auto music = source(tracks, {"calm", "focus"});
  SoundMixer mixer;
  mixer.setMusic(music);
  mixer.snapLevels(musicScene(0));
  const std::vector<float> out = renderSteps(mixer, {{3.5, musicScene(0)}});
  // The music starts with the second block (the first one chooses).
  const double start = kBlock / kRate;
  EXPECT_GT(shareAt(slice(out, start + 0.1, start + 0.9), 330), 0.99);
  EXPECT_GT(shareAt(slice(out, start + 1.1, start + 1.9), 440), 0.99) << "broken files played";
  EXPECT_GT(shareAt(slice(out, start + 2.1, start + 2.9), 330), 0.99) << "no calm track again";
  EXPECT_TRUE(music->trackFailed(1));
  EXPECT_TRUE(music->trackFailed(3));
  EXPECT_FALSE(music->trackFailed(4));
  // Gapless: no 5 ms stretch without music once it has started.
  for (double t = start; t + 0.005 < 3.4; t += 0.005) {
    ASSERT_GT(rms(slice(out, t, t + 0.005)), 0.2) << "a gap at " << t << " s";
  }
}

TEST(MusicSource, LiveDecoderGivesTheSameSamplesAsOffline) {
  ScratchFolder folder;
  const int flac = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
  std::vector<MusicTrack> tracks = {
      {writeTone(folder.path() / "a.flac", flac, 44100, 2, 2.0, 330), {"calm"}},
      {writeTone(folder.path() / "b.flac", flac, 48000, 2, 5.0, 550), {"focus"}},
      {writeTone(folder.path() / "c.flac", flac, 44100, 1, 1.5, 440), {"calm"}},
  };
  SoundScene paused = musicScene(0);
  paused.musicLevel = 0.0;
  // Track ends, a mood change with its cross-fade, a pause, and back.
  const std::vector<std::pair<double, SoundScene>> steps = {
      {3.0, musicScene(0)}, {2.0, musicScene(1)}, {2.5, paused}, {2.0, musicScene(0)}};

  SoundMixer offline;
  offline.setMusic(source(tracks, {"calm", "focus"}));
  offline.snapLevels(musicScene(0));
  const std::vector<float> expected = renderSteps(offline, steps);

  auto live = source(tracks, {"calm", "focus"}, MusicSource::Mode::live);
  SoundMixer mixer;
  mixer.setMusic(live);
  mixer.snapLevels(musicScene(0));
  const std::vector<float> got = renderSteps(mixer, steps, [&] {
    // As a device that never outruns the decoder: wait (with a generous limit) until the
    // next block's frames are decoded.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!live->ready(kBlock)) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the decoder stalled";
      std::this_thread::yield();
    }
  });
  ASSERT_EQ(got.size(), expected.size());
  EXPECT_GT(rms(expected), 0.1) << "the music played";
  std::size_t differing = 0;
  for (std::size_t i = 0; i < got.size(); ++i) differing += got[i] != expected[i] ? 1 : 0;
  EXPECT_EQ(differing, 0u);
}

}  // namespace music_source_test
