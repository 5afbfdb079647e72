// Band powers over FFTW (single precision is plenty for relative powers).
#include "bridge/headband/band_power.hpp"

#include <fftw3.h>

#include <cmath>
#include <numbers>
#include <numeric>

namespace solvera::headband {

const char* contactName(Contact contact) {
  switch (contact) {
    case Contact::Good:
      return "good";
    case Contact::Poor:
      return "poor";
    case Contact::None:
      break;
  }
  return "none";
}

Contact contactOfVariance(double varianceUv2) {
  if (!(varianceUv2 >= kFlatVarianceUv2)) return Contact::None;
  if (varianceUv2 > kNoisyVarianceUv2) return Contact::Poor;
  return Contact::Good;
}

double variance(std::span<const double> samples) {
  if (samples.empty()) return 0;
  const double mean =
      std::accumulate(samples.begin(), samples.end(), 0.0) / static_cast<double>(samples.size());
  double sum = 0;
  for (double s : samples) sum += (s - mean) * (s - mean);
  return sum / static_cast<double>(samples.size());
}

SpectrumAnalyzer::SpectrumAnalyzer(std::size_t windowSamples)
    : size_(windowSamples), hann_(windowSamples) {
  for (std::size_t i = 0; i < size_; ++i) {
    hann_[i] = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * static_cast<double>(i) /
                                    static_cast<double>(size_));
  }
  in_ = fftwf_alloc_real(size_);
  auto* out = fftwf_alloc_complex(size_ / 2 + 1);
  out_ = out;
  // Estimated, not measured: planning must not cost the bridge a second at start.
  plan_ = fftwf_plan_dft_r2c_1d(static_cast<int>(size_), in_, out, FFTW_ESTIMATE);
}

SpectrumAnalyzer::~SpectrumAnalyzer() {
  fftwf_destroy_plan(static_cast<fftwf_plan>(plan_));
  fftwf_free(in_);
  fftwf_free(out_);
}

BandValues SpectrumAnalyzer::relativeBandPowers(std::span<const double> samples, double rateHz) {
  BandValues power{};
  if (samples.size() != size_) return power;
  const double mean =
      std::accumulate(samples.begin(), samples.end(), 0.0) / static_cast<double>(size_);
  for (std::size_t i = 0; i < size_; ++i) {
    in_[i] = static_cast<float>((samples[i] - mean) * hann_[i]);
  }
  fftwf_execute(static_cast<fftwf_plan>(plan_));
  const auto* out = static_cast<const fftwf_complex*>(out_);
  const double binHz = rateHz / static_cast<double>(size_);
  for (std::size_t k = 1; k <= size_ / 2; ++k) {
    const double f = static_cast<double>(k) * binHz;
    const double p = double(out[k][0]) * out[k][0] + double(out[k][1]) * out[k][1];
    for (std::size_t b = 0; b < kBandEdgesHz.size(); ++b) {
      const auto [low, high] = kBandEdgesHz[b];
      const bool last = b + 1 == kBandEdgesHz.size();
      if (f >= low && (f < high || (last && f <= high))) power[b] += p;
    }
  }
  const double total = std::accumulate(power.begin(), power.end(), 0.0);
  if (total <= 0) return BandValues{};
  for (double& p : power) p /= total;
  return power;
}

void SampleWindow::push(double sample) {
  data_[next_] = sample;
  next_ = (next_ + 1) % data_.size();
  if (filled_ < data_.size()) ++filled_;
}

void SampleWindow::copyTo(std::vector<double>& out) const {
  out.resize(filled_);
  const std::size_t start = (next_ + data_.size() - filled_) % data_.size();
  for (std::size_t i = 0; i < filled_; ++i) out[i] = data_[(start + i) % data_.size()];
}

}  // namespace solvera::headband
