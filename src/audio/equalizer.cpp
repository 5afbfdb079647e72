// Biquad design and the per-block filter loop of the equaliser.
#include "audio/equalizer.hpp"

#include "audio/tone_generator.hpp"  // SOLVERA_RENDER_CLONES

#include <cmath>
#include <numbers>

namespace solvera {
namespace {

// The shelves use a slope of 1 (the steepest without overshoot), a common default.
constexpr double kShelfSlope = 1.0;
// Filter memory below this is noise far under the float output; clearing it keeps the
// arithmetic out of subnormal numbers during long silences, which are very slow on x86.
constexpr double kTinyState = 1e-30;

BiquadCoefficients normalised(double b0, double b1, double b2, double a0, double a1, double a2) {
  return {b0 / a0, b1 / a0, b2 / a0, a1 / a0, a2 / a0};
}

double shelfAlpha(double sinW, double a) {
  return sinW / 2.0 * std::sqrt((a + 1.0 / a) * (1.0 / kShelfSlope - 1.0) + 2.0);
}

}  // namespace

BiquadCoefficients BiquadCoefficients::lowShelf(double sampleRate, double frequency,
                                                double gainDb) {
  if (gainDb == 0.0) return {};
  const double a = std::pow(10.0, gainDb / 40.0);
  const double w = 2.0 * std::numbers::pi * frequency / sampleRate;
  const double cosW = std::cos(w);
  const double twoSqrtAAlpha = 2.0 * std::sqrt(a) * shelfAlpha(std::sin(w), a);
  return normalised(a * ((a + 1) - (a - 1) * cosW + twoSqrtAAlpha),
                    2 * a * ((a - 1) - (a + 1) * cosW),
                    a * ((a + 1) - (a - 1) * cosW - twoSqrtAAlpha),
                    (a + 1) + (a - 1) * cosW + twoSqrtAAlpha,
                    -2 * ((a - 1) + (a + 1) * cosW),
                    (a + 1) + (a - 1) * cosW - twoSqrtAAlpha);
}

BiquadCoefficients BiquadCoefficients::highShelf(double sampleRate, double frequency,
                                                 double gainDb) {
  if (gainDb == 0.0) return {};
  const double a = std::pow(10.0, gainDb / 40.0);
  const double w = 2.0 * std::numbers::pi * frequency / sampleRate;
  const double cosW = std::cos(w);
  const double twoSqrtAAlpha = 2.0 * std::sqrt(a) * shelfAlpha(std::sin(w), a);
  return normalised(a * ((a + 1) + (a - 1) * cosW + twoSqrtAAlpha),
                    -2 * a * ((a - 1) + (a + 1) * cosW),
                    a * ((a + 1) + (a - 1) * cosW - twoSqrtAAlpha),
                    (a + 1) - (a - 1) * cosW + twoSqrtAAlpha,
                    2 * ((a - 1) - (a + 1) * cosW),
                    (a + 1) - (a - 1) * cosW - twoSqrtAAlpha);
}

BiquadCoefficients BiquadCoefficients::peaking(double sampleRate, double frequency,
                                               double octaves, double gainDb) {
  if (gainDb == 0.0) return {};
  const double a = std::pow(10.0, gainDb / 40.0);
  const double w = 2.0 * std::numbers::pi * frequency / sampleRate;
  const double sinW = std::sin(w);
  const double alpha = sinW * std::sinh(std::numbers::ln2 / 2.0 * octaves * w / sinW);
  const double cosW = std::cos(w);
  return normalised(1 + alpha * a, -2 * cosW, 1 - alpha * a, 1 + alpha / a, -2 * cosW,
                    1 - alpha / a);
}

Equalizer::Equalizer(double sampleRate) : sampleRate_(sampleRate) {}

void Equalizer::setGains(double bassDb, double midDb, double trebleDb) {
  if (gains_[0] != bassDb) bands_[0] = BiquadCoefficients::lowShelf(sampleRate_, kBassHz, bassDb);
  if (gains_[1] != midDb) {
    bands_[1] = BiquadCoefficients::peaking(sampleRate_, kMidHz, kMidOctaves, midDb);
  }
  if (gains_[2] != trebleDb) {
    bands_[2] = BiquadCoefficients::highShelf(sampleRate_, kTrebleHz, trebleDb);
  }
  gains_ = {bassDb, midDb, trebleDb};
  flat_ = bassDb == 0.0 && midDb == 0.0 && trebleDb == 0.0;
}

void Equalizer::reset() { state_ = {}; }

SOLVERA_RENDER_CLONES void Equalizer::process(float* left, float* right, std::size_t frames) {
  // All bands flat is the identity. Memory left from an earlier curve is dropped, as any
  // change of curve does at a block edge.
  if (flat_) {
    state_ = {};
    return;
  }
  // Left and right share the coefficients, so they travel as one pair of doubles. Direct
  // form I keeps the carried dependency of a band short (the last output, one multiply, one
  // subtract), and the three bands overlap in the processor.
  using Pair = double __attribute__((vector_size(16)));
  struct Band {
    double b0, b1, b2, a1, a2;
    Pair x1, x2, y1, y2;
  };
  Band band[kBands];
  for (std::size_t b = 0; b < kBands; ++b) {
    const BiquadCoefficients& c = bands_[b];
    const auto& m = state_[b];
    band[b] = {c.b0, c.b1, c.b2, c.a1, c.a2, Pair{m[0], m[1]}, Pair{m[2], m[3]},
               Pair{m[4], m[5]}, Pair{m[6], m[7]}};
  }
  for (std::size_t i = 0; i < frames; ++i) {
    Pair x = {left[i], right[i]};
    for (Band& f : band) {
      const Pair y = (f.b0 * x + f.b1 * f.x1 + f.b2 * f.x2 - f.a2 * f.y2) - f.a1 * f.y1;
      f.x2 = f.x1;
      f.x1 = x;
      f.y2 = f.y1;
      f.y1 = y;
      x = y;
    }
    left[i] = static_cast<float>(x[0]);
    right[i] = static_cast<float>(x[1]);
  }
  for (std::size_t b = 0; b < kBands; ++b) {
    const Band& f = band[b];
    state_[b] = {f.x1[0], f.x1[1], f.x2[0], f.x2[1], f.y1[0], f.y1[1], f.y2[0], f.y2[1]};
    for (double& z : state_[b]) {
      if (std::fabs(z) < kTinyState) z = 0.0;
    }
  }
}

}  // namespace solvera
