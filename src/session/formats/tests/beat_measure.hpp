// The beat rate of rendered sound, measured from the samples: for a binaural pair the product
// of the two ears carries cos(2 pi beat t); for a monaural or isochronic tone the power of one
// channel carries the envelope at the beat. The phase of that signal against a reference at
// the expected rate, between the two halves of each window, gives the true rate.
#pragma once

#include <complex>
#include <functional>
#include <numbers>
#include <vector>

namespace solvera::test {

inline std::vector<double> measuredBeats(const std::vector<float>& stereo, double rate, double windowS, bool binaural,
                                         const std::function<double(double)>& expectedAt) {
  const std::size_t frames = stereo.size() / 2;
  const auto window = static_cast<std::size_t>(windowS * rate);
  // Smoothed over 5 ms: the carrier's double goes, the beat stays.
  const auto smooth = static_cast<std::size_t>(0.005 * rate);
  auto at = [&](std::size_t i) {
    return binaural ? static_cast<double>(stereo[2 * i]) * stereo[2 * i + 1]
                    : static_cast<double>(stereo[2 * i]) * stereo[2 * i];
  };
  std::vector<double> signal(frames);
  double running = 0;
  for (std::size_t i = 0; i < frames; ++i) {
    running += at(i);
    if (i >= smooth) running -= at(i - smooth);
    signal[i] = running;
  }
  std::vector<double> beats;
  for (std::size_t start = 0; start + window <= frames; start += window) {
    const double f0 = expectedAt((static_cast<double>(start) + static_cast<double>(window) / 2) / rate);
    // Each half through a Hann window: with a plain cut, the beat's mirror image at -f0 leaks
    // into the phase and reads as a few hundredths of a hertz that the sound does not have.
    std::complex<double> halves[2];
    const std::size_t half = window / 2;
    for (std::size_t h = 0; h < 2; ++h) {
      for (std::size_t j = 0; j < half; ++j) {
        const std::size_t i = start + h * half + j;
        const double hann = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * static_cast<double>(j) / static_cast<double>(half));
        halves[h] += hann * signal[i] * std::polar(1.0, -2 * std::numbers::pi * f0 * static_cast<double>(i) / rate);
      }
    }
    beats.push_back(f0 + std::arg(halves[1] / halves[0]) / (std::numbers::pi * windowS));
  }
  return beats;
}

}  // namespace solvera::test
