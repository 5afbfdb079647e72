// Biquad design and the per-block filter loop of the equaliser.
#include "audio/equalizer.hpp"

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

void Equalizer::process(float* left, float* right, std::size_t frames) {
  // All bands flat is the identity. Memory left from an earlier curve is dropped, as any
  // change of curve does at a block edge.
  if (flat_) {
    state_ = {};
    return;
  }
  // The three bands run inside one frame loop: each band's recursion is independent of the
  // others' at that frame, so the processor overlaps them, and the stereo pair shares the
  // coefficients.
  const BiquadCoefficients c0 = bands_[0], c1 = bands_[1], c2 = bands_[2];
  double l0z1 = state_[0][0], l0z2 = state_[0][1], r0z1 = state_[0][2], r0z2 = state_[0][3];
  double l1z1 = state_[1][0], l1z2 = state_[1][1], r1z1 = state_[1][2], r1z2 = state_[1][3];
  double l2z1 = state_[2][0], l2z2 = state_[2][1], r2z1 = state_[2][2], r2z2 = state_[2][3];
  auto step = [](const BiquadCoefficients& c, double x, double& z1, double& z2) {
    const double y = c.b0 * x + z1;
    z1 = c.b1 * x - c.a1 * y + z2;
    z2 = c.b2 * x - c.a2 * y;
    return y;
  };
  for (std::size_t i = 0; i < frames; ++i) {
    double l = left[i], r = right[i];
    l = step(c0, l, l0z1, l0z2);
    r = step(c0, r, r0z1, r0z2);
    l = step(c1, l, l1z1, l1z2);
    r = step(c1, r, r1z1, r1z2);
    l = step(c2, l, l2z1, l2z2);
    r = step(c2, r, r2z1, r2z2);
    left[i] = static_cast<float>(l);
    right[i] = static_cast<float>(r);
  }
  state_ = {{{l0z1, l0z2, r0z1, r0z2}, {l1z1, l1z2, r1z1, r1z2}, {l2z1, l2z2, r2z1, r2z2}}};
  for (auto& band : state_) {
    for (double& z : band) {
      if (std::fabs(z) < kTinyState) z = 0.0;
    }
  }
}

}  // namespace solvera
