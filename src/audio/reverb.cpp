// The feedback delay network: line lengths, loop gains from the tail time, the damping filters.
#include "audio/reverb.hpp"

#include "audio/tone_generator.hpp"  // SOLVERA_RENDER_CLONES

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>

namespace solvera {
namespace {

// Line lengths at 44100 Hz: 32 to 61 ms, far enough apart and without common factors that
// their echoes do not pile up on a few frequencies.
constexpr std::array<double, Reverb::kLines> kDelayFrames44k = {1423, 1601, 1777, 1949,
                                                                2131, 2311, 2503, 2687};
// Which lines each side hears, as signs: two orthogonal patterns keep left and right apart.
constexpr std::array<float, Reverb::kLines> kLeftTaps = {1, -1, 1, -1, 1, -1, 1, -1};
constexpr std::array<float, Reverb::kLines> kRightTaps = {1, 1, -1, -1, 1, 1, -1, -1};
struct PresetShape {
  double tailSeconds;
  double highRatio;  // high-frequency tail time / low-frequency tail time
  // The energy of the network's impulse response (both inputs to one output, unit output
  // scale) per second of tail time, measured; the damping takes a share that differs by
  // preset. The line lengths follow the rate, so the rate does not change it.
  double energyPerTailSecond;
};

PresetShape presetShape(ReverbPreset preset) {
  const double tail = reverbTailSeconds(preset);
  switch (preset) {
    case ReverbPreset::plate: return {tail, 0.75, 7.80};  // bright, metallic
    case ReverbPreset::hall: return {tail, 0.55, 6.53};
    case ReverbPreset::cathedral: return {tail, 0.45, 5.78};
    case ReverbPreset::room: break;
  }
  return {tail, 0.6, 5.07};
}

}  // namespace

Reverb::Reverb(double sampleRate) : sampleRate_(sampleRate) {
  std::size_t longest = 0;
  for (std::size_t i = 0; i < kLines; ++i) {
    // Odd lengths at any rate keep the lines from sharing factors of two.
    auto frames = static_cast<std::size_t>(std::lround(kDelayFrames44k[i] * sampleRate / 44100.0));
    delays_[i] = std::max<std::size_t>(frames | 1u, 3);
    longest = std::max(longest, delays_[i]);
  }
  const std::size_t capacity = std::bit_ceil(longest + 1);
  mask_ = capacity - 1;
  lines_.assign(kLines * capacity, 0.0f);
  setPreset(ReverbPreset::room);
}

void Reverb::setPreset(ReverbPreset preset) {
  const PresetShape shape = presetShape(preset);
  preset_ = preset;
  tailSeconds_ = shape.tailSeconds;
  const double ratio = shape.highRatio;
  for (std::size_t i = 0; i < kLines; ++i) {
    // Every pass through a line of d frames loses 60 dB x d / (tail x rate).
    const double log10Gain = -3.0 * static_cast<double>(delays_[i]) / (tailSeconds_ * sampleRate_);
    const double loopGain = std::pow(10.0, log10Gain);
    // A one-pole low-pass in the loop with unity gain at 0 Hz and the shorter tail at half the
    // sample rate (after Jot's absorbent filters).
    const double damping = std::log(10.0) / 4.0 * log10Gain * (1.0 - 1.0 / (ratio * ratio));
    gain_[i] = static_cast<float>(loopGain * (1.0 - damping));
    damping_[i] = static_cast<float>(damping);
  }
  outputScale_ =
      static_cast<float>(1.0 / std::sqrt(shape.energyPerTailSecond * tailSeconds_));
}

void Reverb::clear() {
  std::fill(lines_.begin(), lines_.end(), 0.0f);
  state_ = {};
}

void Reverb::process(const float* inLeft, const float* inRight, float* outLeft, float* outRight,
                     std::size_t frames) {
  // Every line is longer than a chunk, so a chunk's reads all come from frames written before
  // it: the lines are read a chunk at a time, the chunk is worked through line by line and
  // frame by frame in straight loops, and written back in one go.
  const std::size_t shortest = *std::min_element(delays_.begin(), delays_.end());
  const std::size_t chunk = std::min<std::size_t>(kChunkFrames, shortest);
  for (std::size_t done = 0; done < frames;) {
    const std::size_t n = std::min(chunk, frames - done);
    processChunk(inLeft + done, inRight + done, outLeft + done, outRight + done, n);
    done += n;
  }
}

SOLVERA_RENDER_CLONES void Reverb::processChunk(const float* inLeft, const float* inRight,
                                                float* outLeft, float* outRight,
                                                std::size_t frames) {
  const std::size_t capacity = mask_ + 1;
  float* lines = lines_.data();
  alignas(64) float y[kLines][kChunkFrames];
  // Read: each line's frames from d frames ago, in at most two runs around the ring's end.
  for (std::size_t i = 0; i < kLines; ++i) {
    const float* line = lines + i * capacity;
    const std::size_t from = (write_ - delays_[i]) & mask_;
    const std::size_t first = std::min(frames, capacity - from);
    std::copy_n(line + from, first, y[i]);
    std::copy_n(line, frames - first, y[i] + first);
  }
  // The loop filters: eight independent recurrences side by side.
  std::array<float, kLines> s = state_;
  for (std::size_t t = 0; t < frames; ++t) {
    for (std::size_t i = 0; i < kLines; ++i) {
      s[i] = gain_[i] * y[i][t] + damping_[i] * s[i];
      y[i][t] = s[i];
    }
  }
  for (float& z : s) {
    if (std::fabs(z) < 1e-30f) z = 0.0f;  // out of slow subnormal arithmetic
  }
  state_ = s;
  // The two outputs: orthogonal sign patterns over the lines.
  for (std::size_t t = 0; t < frames; ++t) {
    float left = 0.0f, right = 0.0f;
    for (std::size_t i = 0; i < kLines; ++i) {
      left += kLeftTaps[i] * y[i][t];
      right += kRightTaps[i] * y[i][t];
    }
    outLeft[t] = left * outputScale_;
    outRight[t] = right * outputScale_;
  }
  // Feedback through the fast Walsh-Hadamard transform (every line feeds every other with
  // equal weight; scaled by 1/sqrt(8) it loses nothing), plus the input, written back.
  for (std::size_t span = 1; span < kLines; span *= 2) {
    for (std::size_t i = 0; i < kLines; i += 2 * span) {
      for (std::size_t j = i; j < i + span; ++j) {
        float* a = y[j];
        float* b = y[j + span];
        for (std::size_t t = 0; t < frames; ++t) {
          const float sum = a[t] + b[t];
          const float difference = a[t] - b[t];
          a[t] = sum;
          b[t] = difference;
        }
      }
    }
  }
  constexpr float kNorm = 0.35355339059327373f;  // 1 / sqrt(8)
  const std::size_t at = write_ & mask_;
  const std::size_t first = std::min(frames, capacity - at);
  for (std::size_t i = 0; i < kLines; ++i) {
    float* line = lines + i * capacity;
    const float* in = i < kLines / 2 ? inLeft : inRight;
    for (std::size_t t = 0; t < first; ++t) line[at + t] = y[i][t] * kNorm + in[t];
    for (std::size_t t = first; t < frames; ++t) line[t - first] = y[i][t] * kNorm + in[t];
  }
  write_ = (write_ + frames) & mask_;
}

}  // namespace solvera
