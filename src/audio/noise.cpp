// The noise generator, the three colours and the glide between them.
#include "audio/noise.hpp"

#include <cmath>

namespace solvera {
namespace {

std::uint64_t splitMix64(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Below this a colour's weight is off (and the colour is not computed).
constexpr double kWeightFloor = 1e-6;

// Weight order: white, pink, brown.
std::size_t colourIndex(NoiseType type) {
  return type == NoiseType::white ? 0 : type == NoiseType::pink ? 1 : 2;
}

// Four lanes of floats or words, of which two carry the channels (left in lane 0, right in
// lane 1; lanes 2 and 3 repeat them). Every operation acts on each lane alone, in the order
// a channel of its own would take, so the samples are those of one channel at a time.
using Lanes = float __attribute__((vector_size(16)));
using LaneWords = std::uint32_t __attribute__((vector_size(16)));
using LaneInts = std::int32_t __attribute__((vector_size(16)));

Lanes lanesOf(float left, float right) { return Lanes{left, right, left, right}; }

// Both channels in one loop, each colour only where its weight is on; a colour alone at full
// weight skips the weighting. The two generators and filter chains step side by side in the
// lanes of one register: the chains are recurrences, so the channels are the parallel work.
template <bool White, bool Pink, bool Brown, bool Weighted>
void renderVoices(NoiseVoice& left, NoiseVoice& right, float* outLeft, float* outRight,
                  std::size_t frames, const float (*weights)[StereoNoise::kMaxFrames]) {
  // xoshiro128+ (as NoiseRandom::next) on both states at once.
  LaneWords s[4];
  for (std::size_t k = 0; k < 4; ++k) {
    const std::uint32_t l = left.random.state()[k], r = right.random.state()[k];
    s[k] = LaneWords{l, r, l, r};
  }
  // The pink filters two to a register, left and right beside each other:
  // f[0] = {b0 L, b0 R, b1 L, b1 R}, f[1] = b2 and b3, f[2] = b4 and b5; b6 on its own.
  Lanes f[3];
  for (std::size_t k = 0; k < 3; ++k) {
    f[k] = Lanes{left.pink[2 * k], right.pink[2 * k], left.pink[2 * k + 1], right.pink[2 * k + 1]};
  }
  Lanes b6 = lanesOf(left.pink[6], right.pink[6]);
  Lanes walk = lanesOf(left.brown, right.brown);
  // A sum of one-pole filters spread over the band; within a fraction of a decibel of -3 dB
  // per octave from about 10 Hz to the top of the audio band.
  const Lanes pole[3] = {{0.99886f, 0.99886f, 0.99332f, 0.99332f},
                         {0.96900f, 0.96900f, 0.86650f, 0.86650f},
                         {0.55000f, 0.55000f, -0.7616f, -0.7616f}};
  const Lanes feed[3] = {{0.0555179f, 0.0555179f, 0.0750759f, 0.0750759f},
                         {0.1538520f, 0.1538520f, 0.3104856f, 0.3104856f},
                         {0.5329522f, 0.5329522f, -0.0168980f, -0.0168980f}};
  // The upper pair of lanes brought down, so that sums run in the order b0 + b1 + ... + b6.
  const auto high = [](Lanes v) { return __builtin_shufflevector(v, v, 2, 3, 2, 3); };
  for (std::size_t i = 0; i < frames; ++i) {
    const LaneWords bits = xoshiroStep(s);
    const Lanes w = __builtin_convertvector(reinterpret_cast<const LaneInts&>(bits), Lanes) * 0x1p-31f;
    Lanes sample = lanesOf(0.0f, 0.0f);
    if constexpr (White) sample += (Weighted ? weights[0][i] : 1.0f) * (w * NoiseVoice::kWhiteGain);
    if constexpr (Pink) {
      // (b5's feed is negative: -0.7616 b5 + w x -0.016898 is -0.7616 b5 - w x 0.016898.)
      f[0] = pole[0] * f[0] + w * feed[0];
      f[1] = pole[1] * f[1] + w * feed[1];
      f[2] = pole[2] * f[2] + w * feed[2];
      const Lanes pink = f[0] + high(f[0]) + f[1] + high(f[1]) + f[2] + high(f[2]) + b6 + w * 0.5362f;
      b6 = w * 0.115926f;
      sample += (Weighted ? weights[1][i] : 1.0f) * (pink * NoiseVoice::kPinkGain);
    }
    if constexpr (Brown) {
      walk = (walk + 0.02f * w) * (1.0f / 1.02f);
      sample += (Weighted ? weights[2][i] : 1.0f) * (walk * NoiseVoice::kBrownGain);
    }
    outLeft[i] = sample[0];
    outRight[i] = sample[1];
  }
  // Filter memory this small is far below the output's resolution; clearing it keeps the
  // arithmetic out of slow subnormal numbers.
  const auto settle = [](float z) { return std::fabs(z) < 1e-30f ? 0.0f : z; };
  NoiseVoice* voices[2] = {&left, &right};
  for (int c = 0; c < 2; ++c) {
    voices[c]->random.setState({s[0][c], s[1][c], s[2][c], s[3][c]});
    for (std::size_t k = 0; k < 3; ++k) {
      voices[c]->pink[2 * k] = settle(f[k][c]);
      voices[c]->pink[2 * k + 1] = settle(f[k][c + 2]);
    }
    voices[c]->pink[6] = settle(b6[c]);
    voices[c]->brown = settle(walk[c]);
  }
}

using VoicesRenderer = void (*)(NoiseVoice&, NoiseVoice&, float*, float*, std::size_t,
                                const float (*)[StereoNoise::kMaxFrames]);

template <bool Weighted>
VoicesRenderer renderer(bool white, bool pink, bool brown) {
  const int key = (white ? 4 : 0) | (pink ? 2 : 0) | (brown ? 1 : 0);
  switch (key) {
    case 1: return &renderVoices<false, false, true, Weighted>;
    case 2: return &renderVoices<false, true, false, Weighted>;
    case 3: return &renderVoices<false, true, true, Weighted>;
    case 4: return &renderVoices<true, false, false, Weighted>;
    case 5: return &renderVoices<true, false, true, Weighted>;
    case 6: return &renderVoices<true, true, false, Weighted>;
    default: return &renderVoices<true, true, true, Weighted>;
  }
}

}  // namespace

NoiseRandom::NoiseRandom(std::uint64_t seed) {
  std::uint64_t state = seed;
  const std::uint64_t a = splitMix64(state);
  const std::uint64_t b = splitMix64(state);
  s_ = {static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(a >> 32),
        static_cast<std::uint32_t>(b), static_cast<std::uint32_t>(b >> 32)};
  // The all-zero state would stay zero; splitmix64 practically never gives it, but be sure.
  if ((s_[0] | s_[1] | s_[2] | s_[3]) == 0) s_[0] = 1;
}

StereoNoise::StereoNoise(double sampleRate, std::uint64_t seed)
    : left_(seed), right_(~seed), colourStep_(1.0 - std::exp(-1.0 / (kColourTimeConstantSeconds *
                                                                       sampleRate))) {}

void StereoNoise::reset(std::uint64_t seed, NoiseType type) {
  left_ = NoiseVoice(seed);
  right_ = NoiseVoice(~seed);
  weights_ = {};
  weights_[colourIndex(type)] = 1.0;
  started_ = true;
}

void StereoNoise::render(NoiseType type, float* left, float* right, std::size_t frames) {
  const std::size_t wanted = colourIndex(type);
  if (!started_) {
    weights_ = {};
    weights_[wanted] = 1.0;
    started_ = true;
  }
  bool on[3];
  bool settled = true;
  for (std::size_t c = 0; c < 3; ++c) {
    const double target = c == wanted ? 1.0 : 0.0;
    on[c] = weights_[c] > 0.0 || target > 0.0;
    settled = settled && weights_[c] == target;
  }
  if (settled) {
    renderer<false>(on[0], on[1], on[2])(left_, right_, left, right, frames, nullptr);
    return;
  }
  float ramps[3][kMaxFrames];
  for (std::size_t c = 0; c < 3; ++c) {
    const double target = c == wanted ? 1.0 : 0.0;
    double w = weights_[c];
    for (std::size_t i = 0; i < frames; ++i) {
      w += (target - w) * colourStep_;
      if (std::fabs(target - w) < kWeightFloor) w = target;
      ramps[c][i] = static_cast<float>(w);
    }
    weights_[c] = w;
  }
  renderer<true>(on[0], on[1], on[2])(left_, right_, left, right, frames, ramps);
}

}  // namespace solvera
