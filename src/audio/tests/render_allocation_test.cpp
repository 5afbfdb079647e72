// The render callback allocates nothing: every operator new on this thread is counted.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "audio/music_source.hpp"
#include "audio/native_audio_engine.hpp"
#include "audio/sound_mixer.hpp"
#include "audio/tests/fake_audio_output.hpp"

// The replaced operators must be global, and so is what they count.
namespace {
thread_local bool counting = false;
thread_local std::size_t allocations = 0;

void* allocate(std::size_t size) {
  if (counting) ++allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (counting) ++allocations;
  return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (counting) ++allocations;
  return std::malloc(size ? size : 1);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

// This file's own names: the test programs compile their files together in batches.
namespace render_allocation_test {

using namespace solvera;

TEST(RenderCallback, AllocatesNothing) {
  counting = true;
  auto* probe = new int(1);
  counting = false;
  delete probe;
  ASSERT_EQ(allocations, 1u) << "the counter sees allocations";
  allocations = 0;

  auto backend = std::make_shared<test::FakeAudioBackend>();
  NativeAudioEngine engine(backend);
  engine.start({"binaural", "sine", 200, 10, 0.5, 0, 0, 0, 0});
  std::vector<float> block(4096 * 2);
  const AudioBuffer buffer{block.data(), 2};
  double bass = -12;
  for (const char* mode : {"binaural", "monaural", "isochronic", "isochronic-monaural"}) {
    for (const char* shape : {"sine", "triangle", "square", "trapezoid", "sawtooth"}) {
      // New words and new equaliser gains every time, so the filters are retuned in the block.
      engine.update({mode, shape, 432, 7.83, 0.7, -0.3, bass += 1, -4, 6});
      counting = true;
      backend->source->render(4096, AudioBufferList(&buffer, 1));
      backend->source->render(333, AudioBufferList(&buffer, 1));
      counting = false;
      EXPECT_EQ(allocations, 0u) << mode << ' ' << shape;
    }
  }
}

// The session's mixer on the audio thread: beat, noise, reverb, equaliser and music from a
// live source (its decoder on a thread of its own), through a change of mood and a track's end.
TEST(RenderCallback, MixerAllocatesNothing) {
  char pattern[] = "/tmp/solvera-alloc-XXXXXX";
  const std::filesystem::path folder = mkdtemp(pattern);
  std::vector<MusicTrack> tracks;
  for (int i = 0; i < 2; ++i) {
    SF_INFO info{};
    info.samplerate = i == 0 ? 44100 : 32000;  // the second one is resampled
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    const std::filesystem::path file = folder / ("t" + std::to_string(i) + ".wav");
    SNDFILE* sf = sf_open(file.c_str(), SFM_WRITE, &info);
    ASSERT_NE(sf, nullptr);
    std::vector<float> samples(static_cast<std::size_t>(info.samplerate) * 2, 0.1f);
    sf_writef_float(sf, samples.data(), info.samplerate);  // one second
    sf_close(sf);
    tracks.push_back({file, {i == 0 ? "calm" : "focus"}});
  }
  auto music = std::make_shared<MusicSource>(tracks, std::vector<std::string>{"calm", "focus"},
                                             44100.0, MusicSource::Mode::live);
  SoundMixer mixer;
  mixer.setMusic(music);
  SoundScene scene;
  scene.tone = ToneSettings::validated({"binaural", "sine", 200, 6, 0.4, 0.2, 3, -2, 1});
  scene.noiseLevel = 0.5;
  scene.musicLevel = 0.5;
  scene.master = 0.9;
  scene.reverbMix = 0.4;
  scene.reverbPreset = ReverbPreset::cathedral;
  scene.musicMood = 0;
  std::vector<float> block(512 * 2);
  for (int b = 0; b < 400; ++b) {  // 4.6 s
    if (b == 100) scene.musicMood = 1;
    if (b == 150) scene.noiseType = NoiseType::brown;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!music->ready(512)) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the decoder stalled";
      std::this_thread::yield();
    }
    counting = true;
    mixer.render(scene, 512, block.data());
    counting = false;
    ASSERT_EQ(allocations, 0u) << "block " << b;
  }
  EXPECT_EQ(music->currentTrack(), 1);
  std::filesystem::remove_all(folder);
}

}  // namespace render_allocation_test
