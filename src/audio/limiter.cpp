// The output peak limiter: instant attack, hold, release at a steady rate in decibels.
#include "audio/limiter.hpp"

#include <algorithm>
#include <cmath>

namespace solvera {

PeakLimiter::PeakLimiter(double sampleRate)
    : holdFrames_(static_cast<std::size_t>(kHoldSeconds * sampleRate)),
      releaseFactor_(std::pow(10.0, kReleaseDbPerSecond / 20.0 / sampleRate)) {}

void PeakLimiter::reset() {
  gain_ = 1.0;
  heldFor_ = 0;
}

void PeakLimiter::process(float* left, float* right, std::size_t frames) {
  double gain = gain_;
  std::size_t heldFor = heldFor_;
  // Nothing loud and nothing to recover: the common case leaves the samples alone.
  // Counted without branches, so that the check vectorises; a sample that is not a number
  // counts as loud.
  if (gain == 1.0) {
    int loud = 0;
    for (std::size_t i = 0; i < frames; ++i) {
      loud |= static_cast<int>(!(std::fabs(left[i]) <= static_cast<float>(kCeiling))) |
              static_cast<int>(!(std::fabs(right[i]) <= static_cast<float>(kCeiling)));
    }
    if (loud == 0) return;
  }
  for (std::size_t i = 0; i < frames; ++i) {
    const double peak = std::max(std::fabs(double{left[i]}), std::fabs(double{right[i]}));
    if (!std::isfinite(peak)) {
      left[i] = right[i] = 0.0f;
      continue;
    }
    if (heldFor < holdFrames_) {
      ++heldFor;
    } else if (gain < 1.0) {
      gain = std::min(1.0, gain * releaseFactor_);
    }
    if (peak * gain > kCeiling) {
      gain = kCeiling / peak;
      heldFor = 0;
    }
    // The product rounds to a float no larger than the ceiling.
    left[i] = static_cast<float>(left[i] * gain);
    right[i] = static_cast<float>(right[i] * gain);
  }
  gain_ = gain;
  heldFor_ = heldFor;
}

}  // namespace solvera
