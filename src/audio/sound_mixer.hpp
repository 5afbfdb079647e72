// The whole sound of a session: beat, noise, music and reverb, mixed block by block, then the
// equaliser and the peak limiter. Used by the live output and by renders to files alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "audio/equalizer.hpp"
#include "audio/limiter.hpp"
#include "audio/noise.hpp"
#include "audio/reverb.hpp"
#include "audio/sound_scene.hpp"
#include "audio/tone_generator.hpp"

namespace solvera {

class MusicSource;

// render() is real-time safe: no allocation, lock or I/O (music comes from its source's ring,
// or, in an offline source, from its synchronous decoder). Levels glide towards each block's
// scene with a 0.6 s time constant; the beat's frequency changes at the block's start and its
// phase runs on, so a glide never jumps. The same sequence of scenes and block sizes from the
// same seed gives the same samples; for a constant scene the samples do not depend on how the
// frames are split into blocks.
class SoundMixer {
 public:
  static constexpr double kLevelTimeConstantSeconds = 0.6;
  static constexpr std::uint64_t kDefaultNoiseSeed = 0x5EEDu;

  explicit SoundMixer(double sampleRate = kToneSampleRate,
                      std::uint64_t noiseSeed = kDefaultNoiseSeed);
  ~SoundMixer();
  SoundMixer(const SoundMixer&) = delete;
  SoundMixer& operator=(const SoundMixer&) = delete;

  // The music to play (or none), made for this mixer's sample rate (std::invalid_argument
  // otherwise). Not while a render runs: set it before the stream starts.
  void setMusic(std::shared_ptr<MusicSource> music);
  const std::shared_ptr<MusicSource>& music() const { return music_; }

  // Renders frames of interleaved stereo float samples.
  void render(const SoundScene& scene, std::size_t frames, float* interleavedStereo) noexcept;
  // The same into the layouts a device hands over (see writeSample).
  void render(const SoundScene& scene, std::size_t frames, AudioBufferList buffers) noexcept;

  // Moves the beat on by frames without sound, exactly as render() would (a silent stretch
  // that must keep the pulse's phase); levels glide, music stays where it is.
  void advance(const SoundScene& scene, std::size_t frames) noexcept;

  // Where the beat's pulse stands after the last block, in [0, 1) (see beatPhase()).
  double beatPhase() const { return solvera::beatPhase(mode_, phases_); }
  const TonePhases& tonePhases() const { return phases_; }
  void setTonePhases(const TonePhases& phases) { phases_ = phases; }

  // The levels jump to the scene's instead of gliding there (a start without a fade-in).
  void snapLevels(const SoundScene& scene);
  // A fresh start: phases, filters, reverb tail, levels at 0, noise from its seed again.
  void reset();

  double sampleRate() const { return sampleRate_; }

 private:
  // Levels as heard, each gliding towards its scene value frame by frame.
  struct Levels {
    double beat = 0, noise = 0, music = 0, master = 0, dry = 1, wet = 0;
  };
  static Levels targetsOf(const SoundScene& scene);
  void renderChunk(const SoundScene& scene, const ToneSettings& unit, const Levels& targets,
                   std::size_t frames, float* left, float* right);
  void renderBlock(const SoundScene& scene, std::size_t frames, float* interleaved,
                   AudioBufferList buffers);


  double sampleRate_;
  std::uint64_t noiseSeed_;
  double levelStep_;  // one-pole coefficient per frame for the level glides
  ToneMode mode_ = ToneMode::isochronic;
  TonePhases phases_;
  Levels levels_;
  StereoNoise noise_;
  Reverb reverb_;
  bool reverbClean_ = true;  // the delay lines hold nothing
  bool musicPlaying_ = false;
  Equalizer equalizer_;
  PeakLimiter limiter_;
  std::shared_ptr<MusicSource> music_;
};

}  // namespace solvera
