// The ranges the tone generator plays, the one table for every value: the settings validation
// clamps to them, and the page reads the same table (the editor, the import and the request
// builder) so that a session asking for more is told so instead of being played differently.
#pragma once

namespace solvera {

struct ValueRange {
  double min = 0;
  double max = 0;
  constexpr bool contains(double value) const { return value >= min && value <= max; }
};

inline constexpr ValueRange kBeatRangeHz{0.1, 40.0};
// With the binaural upper tone 20 Hz above the highest carrier, every tone stays below half the
// sample rate, where it would fold back as another pitch.
inline constexpr ValueRange kCarrierRangeHz{20.0, 20000.0};
inline constexpr ValueRange kVolumeRange{0.0, 1.0};
inline constexpr ValueRange kBalanceRange{-1.0, 1.0};
inline constexpr ValueRange kEqualizerGainRangeDb{-12.0, 12.0};

}  // namespace solvera
