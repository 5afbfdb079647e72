// Spectra for the sound tests: averaged power spectra, the strongest frequency, band-limited
// copies (FFTW3, single precision).
#pragma once

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <numbers>
#include <vector>

namespace solvera::test {

// Power per frequency bin, averaged over half-overlapping Hann windows of `size` frames.
inline std::vector<double> powerSpectrum(const std::vector<float>& signal, std::size_t size = 4096) {
  std::vector<double> power(size / 2 + 1, 0.0);
  if (signal.size() < size) return power;
  std::vector<float> in(size);
  std::vector<fftwf_complex> out(size / 2 + 1);
  fftwf_plan plan = fftwf_plan_dft_r2c_1d(static_cast<int>(size), in.data(), out.data(),
                                          FFTW_ESTIMATE);
  std::size_t segments = 0;
  for (std::size_t start = 0; start + size <= signal.size(); start += size / 2, ++segments) {
    for (std::size_t i = 0; i < size; ++i) {
      const double hann = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * i / size);
      in[i] = static_cast<float>(signal[start + i] * hann);
    }
    fftwf_execute(plan);
    for (std::size_t k = 0; k < power.size(); ++k) {
      power[k] += double{out[k][0]} * out[k][0] + double{out[k][1]} * out[k][1];
    }
  }
  fftwf_destroy_plan(plan);
  for (double& p : power) p /= static_cast<double>(segments);
  return power;
}

// The frequency of the strongest bin (between 20 Hz and half the rate), refined by the
// parabola through its neighbours.
inline double dominantFrequency(const std::vector<float>& signal, double rate,
                                std::size_t size = 16384) {
  const std::vector<double> p = powerSpectrum(signal, size);
  std::size_t best = 1;
  for (std::size_t k = 2; k + 1 < p.size(); ++k) {
    if (k * rate / size >= 20 && p[k] > p[best]) best = k;
  }
  const double a = std::log(p[best - 1] + 1e-30), b = std::log(p[best] + 1e-30),
               c = std::log(p[best + 1] + 1e-30);
  const double offset = 0.5 * (a - c) / (a - 2 * b + c);
  return (static_cast<double>(best) + offset) * rate / static_cast<double>(size);
}

// The signal band-limited to [low, high] Hz: the edges fall off smoothly over half an octave
// and the signal is padded to twice its length, so that the filter rings for milliseconds
// only and nothing wraps around from the end to the start.
inline std::vector<float> bandLimited(const std::vector<float>& signal, double rate, double low,
                                      double high) {
  const std::size_t n = 2 * signal.size();
  std::vector<float> buffer(n, 0.0f);
  std::copy(signal.begin(), signal.end(), buffer.begin());
  std::vector<fftwf_complex> spectrum(n / 2 + 1);
  fftwf_plan forward = fftwf_plan_dft_r2c_1d(static_cast<int>(n), buffer.data(), spectrum.data(),
                                             FFTW_ESTIMATE);
  fftwf_execute(forward);
  fftwf_destroy_plan(forward);
  auto ramp = [](double x) {  // 0 at x <= 0, 1 at x >= 1, a raised cosine between
    x = std::clamp(x, 0.0, 1.0);
    return 0.5 - 0.5 * std::cos(std::numbers::pi * x);
  };
  for (std::size_t k = 0; k < spectrum.size(); ++k) {
    const double f = static_cast<double>(k) * rate / static_cast<double>(n);
    const double octaves = f > 0 ? std::log2(f) : -100.0;
    const double rise = ramp((octaves - std::log2(low)) / 0.5 + 1.0);
    const double fall = ramp((std::log2(high) - octaves) / 0.5 + 1.0);
    const auto keep = static_cast<float>(rise * fall / static_cast<double>(n));
    spectrum[k][0] *= keep;
    spectrum[k][1] *= keep;
  }
  std::vector<float> out(n);
  fftwf_plan backward = fftwf_plan_dft_c2r_1d(static_cast<int>(n), spectrum.data(), out.data(),
                                              FFTW_ESTIMATE);
  fftwf_execute(backward);
  fftwf_destroy_plan(backward);
  out.resize(signal.size());
  return out;
}

inline double rms(const std::vector<float>& signal, std::size_t from = 0,
                  std::size_t to = static_cast<std::size_t>(-1)) {
  to = std::min(to, signal.size());
  double sum = 0;
  for (std::size_t i = from; i < to; ++i) sum += double{signal[i]} * signal[i];
  return to > from ? std::sqrt(sum / static_cast<double>(to - from)) : 0.0;
}

}  // namespace solvera::test
