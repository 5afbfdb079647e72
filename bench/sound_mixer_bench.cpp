// sound-mixer-bench: what the session's sound costs. Offline: the mixer rendering as fast as it
// can on one core (beat and noise; with music and reverb; into WAV, FLAC and the lossy
// formats), as nanoseconds per frame and times real time. Live: the mixer pulled by the SDL
// output at the real-time pace with a live music source, as the share of one core taken by
// the whole process (audio thread, decoder thread, SDL) and the process's resident memory.
#include <sndfile.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "audio/audio_device_output.hpp"
#include "audio/music_source.hpp"
#include "audio/noise.hpp"
#include "audio/sound_mixer.hpp"

using namespace solvera;
namespace fs = std::filesystem;

namespace {

constexpr double kRate = 44100.0;
constexpr std::size_t kBlock = 512;

double threadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double processSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

long residentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

// Three minutes of something music-like (a slowly changing chord over soft noise), so that
// the decoders work as on real music rather than on a pure tone they compress to nothing.
fs::path writeMusic(const fs::path& path, int format, int rate) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = 2;
  info.format = format;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) {
    std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), sf_strerror(nullptr));
    std::exit(1);
  }
  NoiseRandom random(7);
  const std::size_t frames = static_cast<std::size_t>(rate) * 180;
  std::vector<float> chunk(2 * 4096);
  const double chords[4][3] = {{220, 277.2, 329.6}, {196, 246.9, 293.7}, {174.6, 220, 261.6},
                               {164.8, 207.7, 246.9}};
  for (std::size_t done = 0; done < frames; done += 4096) {
    for (std::size_t i = 0; i < 4096; ++i) {
      const double t = static_cast<double>(done + i) / rate;
      const auto* chord = chords[static_cast<std::size_t>(t / 4) % 4];
      double v = 0;
      for (int n = 0; n < 3; ++n) v += 0.15 * std::sin(2 * std::numbers::pi * chord[n] * t);
      chunk[2 * i] = static_cast<float>(v + 0.03 * random.bipolar());
      chunk[2 * i + 1] = static_cast<float>(v + 0.03 * random.bipolar());
    }
    sf_writef_float(file, chunk.data(), 4096);
  }
  sf_close(file);
  return path;
}

SoundScene benchScene(bool music, bool reverb) {
  SoundScene scene;
  scene.tone = ToneSettings::validated({"isochronic", "sine", 210, 7.83, 0.5, 0, 2, -1, 1});
  scene.noiseType = NoiseType::pink;
  scene.noiseLevel = 0.4;
  scene.musicLevel = music ? 0.6 : 0.0;
  scene.musicMood = 0;
  scene.reverbPreset = ReverbPreset::hall;
  scene.reverbMix = reverb ? 0.35 : 0.0;
  scene.master = 0.8;
  return scene;
}

struct Figure {
  double nsPerFrame;
  double realTime;
};

// Renders seconds of the scene on this thread, optionally into a sound file; the figure is
// this thread's processor time, so other work on a shared machine does not count.
Figure renderOffline(const SoundScene& scene, const fs::path* music, double seconds,
                     const fs::path* output = nullptr, int format = 0,
                     double compression = -1) {
  SoundMixer mixer(kRate, 1);
  if (music != nullptr) {
    mixer.setMusic(std::make_shared<MusicSource>(std::vector<MusicTrack>{{*music, {"calm"}}},
                                                 std::vector<std::string>{"calm"}, kRate,
                                                 MusicSource::Mode::offline));
  }
  mixer.snapLevels(scene);
  SNDFILE* file = nullptr;
  if (output != nullptr) {
    SF_INFO info{};
    info.samplerate = static_cast<int>(kRate);
    info.channels = 2;
    info.format = format;
    file = sf_open(output->c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
      std::fprintf(stderr, "cannot write %s: %s\n", output->c_str(), sf_strerror(nullptr));
      std::exit(1);
    }
    // libsndfile's 0...1, for FLAC its levels 0...8 (default 5).
    if (compression >= 0) sf_command(file, SFC_SET_COMPRESSION_LEVEL, &compression, sizeof(double));
  }
  std::vector<float> block(kBlock * 2);
  const auto frames = static_cast<std::size_t>(seconds * kRate);
  float checksum = 0;
  const double began = threadSeconds();
  for (std::size_t done = 0; done < frames; done += kBlock) {
    mixer.render(scene, kBlock, block.data());
    if (file != nullptr) sf_writef_float(file, block.data(), kBlock);
    checksum += block[0];
  }
  if (file != nullptr) sf_close(file);
  const double spent = threadSeconds() - began;
  if (checksum == 12345.0f) std::puts("");  // keeps the render observable
  return {spent * 1e9 / static_cast<double>(frames), seconds / spent};
}

// The mixer as the device's source, timing its own work on the audio thread.
class TimedMixerSource : public AudioRenderSource {
 public:
  TimedMixerSource(const SoundScene& scene, std::shared_ptr<MusicSource> music) : scene_(scene) {
    mixer_.setMusic(std::move(music));
    mixer_.snapLevels(scene);
  }
  void render(std::size_t frames, AudioBufferList buffers) noexcept override {
    const double began = threadSeconds();
    mixer_.render(scene_, frames, buffers);
    spent_ = spent_.load() + (threadSeconds() - began);
    frames_ += frames;
  }
  double spent() const { return spent_; }
  std::size_t frames() const { return frames_; }

 private:
  SoundScene scene_;
  SoundMixer mixer_;
  std::atomic<double> spent_{0};
  std::atomic<std::size_t> frames_{0};
};

}  // namespace

int main(int argc, char** argv) {
  double minutes = 20;
  double liveSeconds = 20;
  double lossyMinutes = 2;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view flag = argv[i];
    if (flag == "--minutes") minutes = std::atof(argv[i + 1]);
    if (flag == "--live-seconds") liveSeconds = std::atof(argv[i + 1]);
    if (flag == "--lossy-minutes") lossyMinutes = std::atof(argv[i + 1]);
  }
  char pattern[] = "/tmp/solvera-mixer-bench-XXXXXX";
  const fs::path folder = mkdtemp(pattern);
  const fs::path flac = writeMusic(folder / "music.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100);
  const fs::path mp3 =
      writeMusic(folder / "music.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100);
  const fs::path flac48 =
      writeMusic(folder / "music-48k.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000);

  const double seconds = minutes * 60;
  std::printf("Offline render on one core, %.0f min of sound at 44100 Hz (512-frame blocks)\n",
              minutes);
  auto row = [](const char* what, Figure f) {
    std::printf("  %-52s %7.1f ns/frame %7.0fx real time\n", what, f.nsPerFrame, f.realTime);
  };
  row("beat + pink noise", renderOffline(benchScene(false, false), nullptr, seconds));
  row("beat + noise + reverb", renderOffline(benchScene(false, true), nullptr, seconds));
  row("beat + noise + music (FLAC) + reverb", renderOffline(benchScene(true, true), &flac, seconds));
  row("beat + noise + music (MP3) + reverb", renderOffline(benchScene(true, true), &mp3, seconds));
  row("beat + noise + music (FLAC 48 kHz, resampled) + reverb",
      renderOffline(benchScene(true, true), &flac48, seconds));
  const fs::path wav = folder / "out.wav";
  const fs::path outFlac = folder / "out.flac";
  row("beat + noise, into 16-bit WAV",
      renderOffline(benchScene(false, false), nullptr, seconds, &wav,
                    SF_FORMAT_WAV | SF_FORMAT_PCM_16));
  row("beat + noise, into FLAC",
      renderOffline(benchScene(false, false), nullptr, seconds, &outFlac,
                    SF_FORMAT_FLAC | SF_FORMAT_PCM_16));
  row("beat + noise + music (MP3) + reverb, into 24-bit WAV",
      renderOffline(benchScene(true, true), &mp3, seconds, &wav, SF_FORMAT_WAV | SF_FORMAT_PCM_24));
  row("beat + noise + music (MP3) + reverb, into FLAC",
      renderOffline(benchScene(true, true), &mp3, seconds, &outFlac,
                    SF_FORMAT_FLAC | SF_FORMAT_PCM_16));
  row("beat + noise, into FLAC level 0",
      renderOffline(benchScene(false, false), nullptr, seconds, &outFlac,
                    SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 0.0));
  row("beat + noise + music (MP3) + reverb, into FLAC level 0",
      renderOffline(benchScene(true, true), &mp3, seconds, &outFlac,
                    SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 0.0));
  std::printf("Lossy encoders (libsndfile), %.0f min, beat + noise + music (MP3) + reverb\n",
              lossyMinutes);
  const fs::path lossy = folder / "out.lossy";
  row("into Ogg Vorbis", renderOffline(benchScene(true, true), &mp3, lossyMinutes * 60, &lossy,
                                       SF_FORMAT_OGG | SF_FORMAT_VORBIS));
  row("into MP3", renderOffline(benchScene(true, true), &mp3, lossyMinutes * 60, &lossy,
                                SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III));
  fs::remove(wav);
  fs::remove(outFlac);
  fs::remove(lossy);

  // Live: SDL pulls at the real-time pace (the dummy driver unless one is set), the music
  // decodes on its own thread.
  setenv("SDL_AUDIODRIVER", std::getenv("SDL_AUDIODRIVER") ? std::getenv("SDL_AUDIODRIVER") : "dummy", 1);
  {
    auto music = std::make_shared<MusicSource>(std::vector<MusicTrack>{{mp3, {"calm"}}},
                                               std::vector<std::string>{"calm"}, kRate,
                                               MusicSource::Mode::live);
    auto source = std::make_shared<TimedMixerSource>(benchScene(true, true), music);
    AudioDeviceOutput output(sdlAudioBackend("sound-mixer-bench"));
    const double processBegan = processSeconds();
    const auto wallBegan = std::chrono::steady_clock::now();
    output.start(source);
    const auto status = output.status();
    std::this_thread::sleep_for(std::chrono::duration<double>(liveSeconds));
    const long rss = residentKiB();
    output.stop();
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBegan).count();
    const double process = processSeconds() - processBegan;
    std::printf("Live playback, %.0f s through SDL (%s, %s, %zu-frame buffer, latency %.1f ms): "
                "beat + noise + music (MP3) + reverb\n",
                liveSeconds, status.stream.driver.c_str(),
                status.onDevice ? "device" : "paced", status.stream.bufferFrames,
                status.stream.latencySeconds * 1e3);
    const double frames = static_cast<double>(source->frames());
    std::printf("  mixer on the audio thread: %.1f ns/frame, %.2f %% of one core at 44.1 kHz\n",
                source->spent() * 1e9 / frames, source->spent() * 1e9 / frames * kRate / 1e7);
    std::printf("  whole process (audio, decoder, SDL threads): %.2f %% of one core\n",
                100.0 * process / wall);
    std::printf("  resident memory while playing: %.1f MiB\n", static_cast<double>(rss) / 1024);
  }
  fs::remove_all(folder);
  return 0;
}
