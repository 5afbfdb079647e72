// The three-band equaliser: our own biquad filters (low shelf, peaking, high shelf) per channel.
#pragma once

#include <array>
#include <cstddef>

namespace solvera {

// Normalised biquad coefficients (a0 = 1).
struct BiquadCoefficients {
  double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;

  // Designs after the well-known audio-cookbook formulas. A gain of exactly 0 dB gives the
  // identity, so a flat equaliser passes samples bit for bit.
  static BiquadCoefficients lowShelf(double sampleRate, double frequency, double gainDb);
  static BiquadCoefficients peaking(double sampleRate, double frequency, double octaves,
                                    double gainDb);
  static BiquadCoefficients highShelf(double sampleRate, double frequency, double gainDb);

  friend bool operator==(const BiquadCoefficients&, const BiquadCoefficients&) = default;
};

// Two channels through three bands; the filter memory lives here, so one instance belongs to
// one output stream.
class Equalizer {
 public:
  static constexpr double kBassHz = 120.0;
  static constexpr double kMidHz = 1000.0;
  static constexpr double kMidOctaves = 1.0;
  static constexpr double kTrebleHz = 6000.0;
  static constexpr std::size_t kBands = 3;

  explicit Equalizer(double sampleRate = 44100.0);

  // Retunes the bands when a gain differs from the one in use; the filter memory is kept so
  // a change does not click more than the new curve itself implies. No allocation.
  void setGains(double bassDb, double midDb, double trebleDb);

  // Filters both channels in place.
  void process(float* left, float* right, std::size_t frames);

  // Clears the filter memory (a new stream).
  void reset();

  const std::array<BiquadCoefficients, kBands>& coefficients() const { return bands_; }

 private:
  double sampleRate_;
  std::array<double, kBands> gains_{};
  std::array<BiquadCoefficients, kBands> bands_{};
  // Per band the last two inputs and outputs, left and right side by side.
  std::array<std::array<double, 8>, kBands> state_{};
  bool flat_ = true;
};

}  // namespace solvera
