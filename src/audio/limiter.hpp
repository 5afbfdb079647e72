// The last stage before the device: a peak limiter, so that no setting in range clips.
#pragma once

#include <cstddef>

namespace solvera {

// Equaliser boosts on a full-volume tone reach four times full scale. Where a frame would go
// beyond the ceiling the level drops at once to just meet it; it is held while the tone may
// still return to that peak (longer than one period of the lowest carrier), then recovers
// at a steady rate in decibels. A steady loud tone therefore plays at one constant, lower level without
// distortion, and samples within full scale pass unchanged. Both channels share one gain, so
// balance and the binaural image stay as set.
class PeakLimiter {
 public:
  static constexpr double kCeiling = 1.0;
  static constexpr double kHoldSeconds = 0.06;
  // Back from the largest equaliser boost (12 dB) to full level in 0.6 s.
  static constexpr double kReleaseDbPerSecond = 20.0;

  explicit PeakLimiter(double sampleRate = 44100.0);

  // Limits both channels in place. A sample that is not a finite number becomes silence
  // rather than reaching the device or the gain.
  void process(float* left, float* right, std::size_t frames);
  // Full level again (a new stream).
  void reset();
  double gain() const { return gain_; }

 private:
  std::size_t holdFrames_;
  double releaseFactor_;  // gain multiplier per frame while recovering
  double gain_ = 1.0;
  std::size_t heldFor_ = 0;
};

}  // namespace solvera
