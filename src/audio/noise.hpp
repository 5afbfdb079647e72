// Noise voices: white, pink and brown from one small seeded generator, so that the same seed
// gives the same noise on every run and every machine.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "audio/sound_scene.hpp"

namespace solvera {

// xoshiro128+ seeded through splitmix64: fast, small, and ours (rand() differs between
// libraries and is shared with the rest of the process).
// One step of xoshiro128+ over its four state words: the same for one generator (32-bit words)
// and for several side by side (vector lanes of 32-bit words).
template <class State>
auto xoshiroStep(State& s) {
  const auto result = s[0] + s[3];
  const auto t = s[1] << 9;
  s[2] ^= s[0];
  s[3] ^= s[1];
  s[1] ^= s[2];
  s[0] ^= s[3];
  s[2] ^= t;
  s[3] = (s[3] << 11) | (s[3] >> 21);
  return result;
}

class NoiseRandom {
 public:
  explicit NoiseRandom(std::uint64_t seed = 1);
  std::uint32_t next() { return xoshiroStep(s_); }
  // Uniform in [-1, 1).
  float bipolar() { return static_cast<float>(static_cast<std::int32_t>(next())) * 0x1p-31f; }

  // The four words of state, for renders that step several generators side by side.
  const std::array<std::uint32_t, 4>& state() const { return s_; }
  void setState(const std::array<std::uint32_t, 4>& state) { s_ = state; }

 private:
  std::array<std::uint32_t, 4> s_{};
};

// One channel of noise. White is the generator itself; pink is white through a sum of
// one-pole filters that follows -3 dB per octave across the audio band; brown is white
// through a leaky integrator (-6 dB per octave above about 140 Hz, where the leak keeps the
// walk from drifting). Each colour is scaled to the loudness the page's own noise had.
struct NoiseVoice {
  static constexpr float kWhiteGain = 0.5f;
  static constexpr float kPinkGain = 0.06725f;
  static constexpr float kBrownGain = 1.99f;

  explicit NoiseVoice(std::uint64_t seed = 1) : random(seed) {}

  NoiseRandom random;
  std::array<float, 7> pink{};
  float brown = 0.0f;
};

// Two independent voices (left and right differ, as two noise sources would) and the glide
// from one colour to another over about 50 ms.
class StereoNoise {
 public:
  static constexpr std::size_t kMaxFrames = 256;
  static constexpr double kColourTimeConstantSeconds = 0.05;

  explicit StereoNoise(double sampleRate = 44100.0, std::uint64_t seed = 1);

  // At most kMaxFrames frames per call.
  void render(NoiseType type, float* left, float* right, std::size_t frames);
  // Starts again from the seed with the given colour fully on.
  void reset(std::uint64_t seed, NoiseType type = NoiseType::pink);

 private:
  NoiseVoice left_;
  NoiseVoice right_;
  double colourStep_;
  std::array<double, 3> weights_{};  // white, pink, brown
  bool started_ = false;
};

}  // namespace solvera
