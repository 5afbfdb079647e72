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

void NoiseVoice::render(float* out, std::size_t frames, const float* whiteWeight,
                        const float* pinkWeight, const float* brownWeight, bool white, bool pink,
                        bool brown) {
  auto [b0, b1, b2, b3, b4, b5, b6] = pink_;
  float walk = brown_;
  for (std::size_t i = 0; i < frames; ++i) {
    const float w = random_.bipolar();
    float sample = 0.0f;
    if (white) sample += whiteWeight[i] * (w * kWhiteGain);
    if (pink) {
      // A sum of one-pole filters spread over the band; within a fraction of a decibel of
      // -3 dB per octave from about 10 Hz to the top of the audio band.
      b0 = 0.99886f * b0 + w * 0.0555179f;
      b1 = 0.99332f * b1 + w * 0.0750759f;
      b2 = 0.96900f * b2 + w * 0.1538520f;
      b3 = 0.86650f * b3 + w * 0.3104856f;
      b4 = 0.55000f * b4 + w * 0.5329522f;
      b5 = -0.7616f * b5 - w * 0.0168980f;
      const float p = b0 + b1 + b2 + b3 + b4 + b5 + b6 + w * 0.5362f;
      b6 = w * 0.115926f;
      sample += pinkWeight[i] * (p * kPinkGain);
    }
    if (brown) {
      walk = (walk + 0.02f * w) * (1.0f / 1.02f);
      sample += brownWeight[i] * (walk * kBrownGain);
    }
    out[i] = sample;
  }
  // Filter memory this small is far below the output's resolution; clearing it keeps the
  // arithmetic out of slow subnormal numbers.
  pink_ = {b0, b1, b2, b3, b4, b5, b6};
  for (float& z : pink_) {
    if (std::fabs(z) < 1e-30f) z = 0.0f;
  }
  brown_ = std::fabs(walk) < 1e-30f ? 0.0f : walk;
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
  float ramps[3][kMaxFrames];
  bool on[3];
  for (std::size_t c = 0; c < 3; ++c) {
    const double target = c == wanted ? 1.0 : 0.0;
    double w = weights_[c];
    on[c] = w > 0.0 || target > 0.0;
    for (std::size_t i = 0; i < frames; ++i) {
      w += (target - w) * colourStep_;
      if (std::fabs(target - w) < kWeightFloor) w = target;
      ramps[c][i] = static_cast<float>(w);
    }
    weights_[c] = w;
  }
  left_.render(left, frames, ramps[0], ramps[1], ramps[2], on[0], on[1], on[2]);
  right_.render(right, frames, ramps[0], ramps[1], ramps[2], on[0], on[1], on[2]);
}

}  // namespace solvera
