// The mixer: beat, noise and music with their level glides, the reverb send, then the
// equaliser and the limiter over the whole mix.
#include "audio/sound_mixer.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include "audio/audio_limits.hpp"
#include "audio/music_source.hpp"

namespace solvera {
namespace {

// Frames per inner pass: the size of the stack buffers, and no more than the noise and the
// music hand over at once.
constexpr std::size_t kChunkFrames = 256;
static_assert(kChunkFrames <= StereoNoise::kMaxFrames);
static_assert(kChunkFrames <= MusicSource::kMaxReadFrames);

// A level this close to its target has arrived; a level of exactly 0 lets its voice rest.
constexpr double kLevelSnap = 1e-6;

// Numbers below the smallest normal float are flushed to zero during a block: a decaying tail
// would otherwise fall into subnormal arithmetic, many times slower on x86. The previous mode
// is put back, so the caller's thread is left as it was.
class FlushDenormals {
 public:
#if defined(__SSE__)
  FlushDenormals() : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | 0x8040u); }  // FTZ | DAZ
  ~FlushDenormals() { _mm_setcsr(saved_); }

 private:
  unsigned saved_;
#endif
};

double unitLevel(double value) { return std::isfinite(value) ? std::clamp(value, 0.0, 1.0) : 0.0; }

double inRange(double value, ValueRange range, double fallback) {
  return std::isfinite(value) ? std::clamp(value, range.min, range.max) : fallback;
}

// The tone at unit level (its level glides separately), every value within the table's
// ranges: a value out of range from a caller would otherwise spoil the running phases.
ToneSettings unitTone(const ToneSettings& tone) {
  ToneSettings unit = tone;
  unit.volume = 1.0;
  unit.carrier = inRange(tone.carrier, kCarrierRangeHz, kCarrierRangeHz.min);
  unit.beat = inRange(tone.beat, kBeatRangeHz, kBeatRangeHz.min);
  unit.balance = inRange(tone.balance, kBalanceRange, 0.0);
  unit.bass = inRange(tone.bass, kEqualizerGainRangeDb, 0.0);
  unit.mid = inRange(tone.mid, kEqualizerGainRangeDb, 0.0);
  unit.treble = inRange(tone.treble, kEqualizerGainRangeDb, 0.0);
  return unit;
}

// One level's glide over a chunk, frame by frame, so that the result does not depend on how
// frames are split into blocks.
void glide(double& level, double target, double step, float* ramp, std::size_t frames) {
  if (level == target) {  // settled, as most of the time
    std::fill_n(ramp, frames, static_cast<float>(target));
    return;
  }
  double value = level;
  for (std::size_t i = 0; i < frames; ++i) {
    value += (target - value) * step;
    if (std::fabs(target - value) < kLevelSnap) value = target;
    ramp[i] = static_cast<float>(value);
  }
  level = value;
}

}  // namespace

SoundMixer::SoundMixer(double sampleRate, std::uint64_t noiseSeed)
    : sampleRate_(sampleRate),
      noiseSeed_(noiseSeed),
      levelStep_(1.0 - std::exp(-1.0 / (kLevelTimeConstantSeconds * sampleRate))),
      noise_(sampleRate, noiseSeed),
      reverb_(sampleRate),
      equalizer_(sampleRate),
      limiter_(sampleRate) {}

SoundMixer::~SoundMixer() = default;

void SoundMixer::setMusic(std::shared_ptr<MusicSource> music) {
  if (music && music->sampleRate() != sampleRate_) {
    throw std::invalid_argument("music decoded for another sample rate");
  }
  music_ = std::move(music);
  musicPlaying_ = false;
}

SoundMixer::Levels SoundMixer::targetsOf(const SoundScene& scene) {
  const double shapeGain = scene.tone.pulseShape == PulseShape::triangle ? 1.15 : 1.0;
  const double mix = unitLevel(scene.reverbMix);
  return {.beat = unitLevel(scene.tone.volume * shapeGain),
          .noise = unitLevel(scene.noiseLevel),
          .music = unitLevel(scene.musicLevel),
          .master = unitLevel(scene.master),
          .dry = 1.0 - 0.6 * mix,
          .wet = mix};
}

void SoundMixer::snapLevels(const SoundScene& scene) { levels_ = targetsOf(scene); }

void SoundMixer::reset() {
  phases_ = {};
  levels_ = {.beat = 0, .noise = 0, .music = 0, .master = 0, .dry = 1, .wet = 0};
  noise_.reset(noiseSeed_);
  reverb_.clear();
  reverbClean_ = true;
  equalizer_.reset();
  limiter_.reset();
  musicPlaying_ = false;
}

void SoundMixer::renderChunk(const SoundScene& scene, const ToneSettings& unit,
                             const Levels& targets, std::size_t frames, float* left,
                             float* right) {
  float ramp[kChunkFrames];
  synthesiseTone(unit, phases_, sampleRate_, left, right, frames);
  glide(levels_.beat, targets.beat, levelStep_, ramp, frames);
  for (std::size_t i = 0; i < frames; ++i) {
    left[i] *= ramp[i];
    right[i] *= ramp[i];
  }

  // Noise and music share one bus through master, then dry and the reverb's send.
  const bool noiseOn = levels_.noise > 0.0 || targets.noise > 0.0;
  float master[kChunkFrames];
  glide(levels_.master, targets.master, levelStep_, master, frames);
  float busLeft[kChunkFrames], busRight[kChunkFrames];
  float partLeft[kChunkFrames], partRight[kChunkFrames];
  std::fill_n(busLeft, frames, 0.0f);
  std::fill_n(busRight, frames, 0.0f);
  if (noiseOn) noise_.render(scene.noiseType, partLeft, partRight, frames);
  glide(levels_.noise, targets.noise, levelStep_, ramp, frames);
  if (noiseOn) {
    for (std::size_t i = 0; i < frames; ++i) {
      const float gain = ramp[i] * master[i];
      busLeft[i] += partLeft[i] * gain;
      busRight[i] += partRight[i] * gain;
    }
  }
  if (musicPlaying_) music_->read(partLeft, partRight, frames);
  glide(levels_.music, targets.music, levelStep_, ramp, frames);
  if (musicPlaying_) {
    for (std::size_t i = 0; i < frames; ++i) {
      const float gain = ramp[i] * master[i];
      busLeft[i] += partLeft[i] * gain;
      busRight[i] += partRight[i] * gain;
    }
  }
  const bool input = noiseOn || musicPlaying_;
  glide(levels_.dry, targets.dry, levelStep_, ramp, frames);
  if (input) {
    for (std::size_t i = 0; i < frames; ++i) {
      left[i] += busLeft[i] * ramp[i];
      right[i] += busRight[i] * ramp[i];
    }
  }
  // The reverb rests while its send is off; its lines are emptied then, so that a later send
  // does not bring back an old tail.
  const bool wetOn = levels_.wet > 0.0 || targets.wet > 0.0;
  glide(levels_.wet, targets.wet, levelStep_, ramp, frames);
  if (wetOn && (input || !reverbClean_)) {
    reverb_.process(busLeft, busRight, partLeft, partRight, frames);
    reverbClean_ = false;
    for (std::size_t i = 0; i < frames; ++i) {
      left[i] += partLeft[i] * ramp[i];
      right[i] += partRight[i] * ramp[i];
    }
  } else if (!wetOn && !reverbClean_) {
    reverb_.clear();
    reverbClean_ = true;
  }
}

void SoundMixer::renderBlock(const SoundScene& scene, std::size_t frames, float* interleaved,
                             AudioBufferList buffers) {
  const FlushDenormals flush;
  const Levels targets = targetsOf(scene);
  const ToneSettings unit = unitTone(scene.tone);
  mode_ = unit.mode;
  equalizer_.setGains(unit.bass, unit.mid, unit.treble);
  if (reverb_.preset() != scene.reverbPreset) reverb_.setPreset(scene.reverbPreset);
  if (music_) {
    // The music plays while it is heard or asked for; silent, it keeps its place.
    musicPlaying_ = targets.music * targets.master > 0.0 || levels_.music * levels_.master > 0.0;
    music_->beginBlock(scene.musicMood, musicPlaying_);
  }
  float left[kChunkFrames], right[kChunkFrames];
  for (std::size_t done = 0; done < frames;) {
    const std::size_t n = std::min(kChunkFrames, frames - done);
    renderChunk(scene, unit, targets, n, left, right);
    equalizer_.process(left, right, n);
    limiter_.process(left, right, n);
    if (interleaved != nullptr) {
      float* out = interleaved + 2 * done;
      for (std::size_t i = 0; i < n; ++i) {
        out[2 * i] = left[i];
        out[2 * i + 1] = right[i];
      }
    } else {
      for (std::size_t i = 0; i < n; ++i) writeSample(left[i], right[i], done + i, buffers);
    }
    done += n;
  }
}

void SoundMixer::render(const SoundScene& scene, std::size_t frames,
                        float* interleavedStereo) noexcept {
  renderBlock(scene, frames, interleavedStereo, {});
}

void SoundMixer::render(const SoundScene& scene, std::size_t frames,
                        AudioBufferList buffers) noexcept {
  if (buffers.size() == 1 && buffers[0].channels == 2) {
    renderBlock(scene, frames, buffers[0].data, {});
  } else {
    renderBlock(scene, frames, nullptr, buffers);
  }
}

void SoundMixer::advance(const SoundScene& scene, std::size_t frames) noexcept {
  const Levels targets = targetsOf(scene);
  const ToneSettings unit = unitTone(scene.tone);
  mode_ = unit.mode;
  float left[kChunkFrames], right[kChunkFrames];
  for (std::size_t done = 0; done < frames;) {
    const std::size_t n = std::min(kChunkFrames, frames - done);
    synthesiseTone(unit, phases_, sampleRate_, left, right, n);
    glide(levels_.beat, targets.beat, levelStep_, left, n);
    glide(levels_.noise, targets.noise, levelStep_, left, n);
    glide(levels_.music, targets.music, levelStep_, left, n);
    glide(levels_.master, targets.master, levelStep_, left, n);
    glide(levels_.dry, targets.dry, levelStep_, left, n);
    glide(levels_.wet, targets.wet, levelStep_, left, n);
    done += n;
  }
  // Nothing was heard, so no tail rings on into the sound that follows.
  if (!reverbClean_) {
    reverb_.clear();
    reverbClean_ = true;
  }
  musicPlaying_ = false;
}

}  // namespace solvera
