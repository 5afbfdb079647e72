// Relative brain-wave band powers from a Hann-windowed spectrum, and electrode contact from
// the signal's variance.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

namespace solvera::headband {

enum class Band { Delta, Theta, Alpha, Beta, Gamma };
inline constexpr std::array<const char*, 5> kBandNames = {"delta", "theta", "alpha", "beta",
                                                          "gamma"};
using BandValues = std::array<double, 5>;

// Lower and upper edge in Hz of each band: [low, high), the last one closed at 44 Hz.
inline constexpr std::array<std::array<double, 2>, 5> kBandEdgesHz = {
    {{1, 4}, {4, 8}, {8, 13}, {13, 30}, {30, 44}}};

enum class Contact { Good, Poor, None };
const char* contactName(Contact contact);

// A flat line means the electrode touches nothing; a wild one, that it sits loose.
inline constexpr double kFlatVarianceUv2 = 0.25;
inline constexpr double kNoisyVarianceUv2 = 100.0 * 100.0;
Contact contactOfVariance(double varianceUv2);
double variance(std::span<const double> samples);

// One FFTW plan and its buffers for windows of a fixed length.
class SpectrumAnalyzer {
 public:
  explicit SpectrumAnalyzer(std::size_t windowSamples);
  ~SpectrumAnalyzer();
  SpectrumAnalyzer(const SpectrumAnalyzer&) = delete;
  SpectrumAnalyzer& operator=(const SpectrumAnalyzer&) = delete;

  std::size_t windowSamples() const { return size_; }
  // Power of each band, relative to the five together (sums to 1; all 0 for a flat input).
  // The mean is removed first so that an electrode's offset does not count as delta.
  BandValues relativeBandPowers(std::span<const double> samples, double rateHz);

 private:
  std::size_t size_;
  std::vector<double> hann_;
  float* in_;
  void* out_;  // fftwf_complex[size / 2 + 1]
  void* plan_;
};

// The last windowSamples samples of one channel, oldest first when copied out.
class SampleWindow {
 public:
  explicit SampleWindow(std::size_t windowSamples) : data_(windowSamples) {}
  void push(double sample);
  void clear() { filled_ = next_ = 0; }
  bool full() const { return filled_ == data_.size(); }
  std::size_t size() const { return filled_; }
  // Ordered copy, oldest first.
  void copyTo(std::vector<double>& out) const;
  double last() const { return data_[(next_ + data_.size() - 1) % data_.size()]; }

 private:
  std::vector<double> data_;
  std::size_t filled_ = 0;
  std::size_t next_ = 0;
};

}  // namespace solvera::headband
