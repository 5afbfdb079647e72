// A session's phases as a timeline, sampled at any moment: every value glides from one phase
// into the next, and the whole session fades in and out. The page's timeline reads the same.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "session/session_model.hpp"

namespace solvera::session {

inline constexpr double kDefaultGlideSeconds = 45;
inline constexpr double kFadeInSeconds = 8;
inline constexpr double kFadeOutSeconds = 12;
inline constexpr double kDefaultCarrierHz = 200;

// "mm:ss", "h:mm:ss" or plain minutes ("12", "7.5", "7,5") in seconds; NaN when unreadable.
double parseTime(std::string_view text);
// Minutes given as a number, in seconds (NaN for a number that is not finite).
double parseTimeMinutes(double minutes);
// Seconds as "mm:ss" or "h:mm:ss".
std::string formatClock(double seconds);

struct FrequencySpan {
  double from = 0;
  double to = 0;
  friend bool operator==(const FrequencySpan&, const FrequencySpan&) = default;
};
// "10", "10.5", "10,5", "12 → 8", "12->8", "12-8", "12 to 8", "12 naar 8", an optional "Hz".
std::optional<FrequencySpan> parseFrequency(std::string_view text);
// A number as a frequency (finite and not negative).
std::optional<FrequencySpan> frequencyOfNumber(double value);

struct Rgb8 {
  int r = 0;
  int g = 0;
  int b = 0;
  friend bool operator==(const Rgb8&, const Rgb8&) = default;
};
// "#rrggbb", "rrggbb", "#rgb"; nothing otherwise.
std::optional<Rgb8> hexToRgb(std::string_view text);
// Each part rounded and kept to 0..255: "#4a7fc1".
std::string rgbToHex(double r, double g, double b);

// The values that glide between and within phases.
struct TimelineValues {
  double beatHz = 0, lightHz = 0, carrierHz = 0;
  double r = 0, g = 0, b = 0;
  double rgbIntensity = 0, whiteIntensity = 0;  // percent
  double pulseVolume = 0, musicVolume = 0, noiseVolume = 0, reverbMix = 0;  // percent
  friend bool operator==(const TimelineValues&, const TimelineValues&) = default;
};

// The words of a phase that switch at its start.
struct PhaseDiscrete {
  std::string pulseShape;       // the light's; "sine" when absent
  std::string audioPulseShape;  // "" when absent: the session or settings choose
  std::string noiseType;        // "pink" when absent
  std::string musicMood;        // the phase's, else the session's, else ""
  std::string reverbPreset;     // "room" when absent
  bool halcyonMode = false;
  bool ganzfeldMode = false;
  friend bool operator==(const PhaseDiscrete&, const PhaseDiscrete&) = default;
};

struct TimelinePhase {
  int index = 0;
  std::string name, nameEn, purpose, purposeEn;
  TimelineValues start;  // values at the phase's start (before the glide in from the last)
  TimelineValues end;
  PhaseDiscrete discrete;
  double startS = 0;
  double endS = 0;
  double glideS = 0;  // the glide in from the previous phase; 0 for the first
};

struct Timeline {
  double durationS = 0;
  std::vector<TimelinePhase> phases;
};

// The moment's values. `phase` points into the timeline it was sampled from.
struct TimelineSample {
  double time = 0;
  int phaseIndex = 0;
  const TimelinePhase* phase = nullptr;
  double phaseElapsedS = 0;
  double phaseRemainingS = 0;
  double remainingS = 0;
  bool gliding = false;
  double envelope = 1;  // the session's fade in and out, 0..1
  TimelineValues values;
};

// Phases end to end in their order; their "start" and "end" texts are kept when readable and
// consistent, otherwise the session's duration is shared out evenly (5 minutes a phase when
// it has none). Throws ErrorException when the session has no phases.
Timeline buildTimeline(const Session& session, double glideSeconds = kDefaultGlideSeconds);

int phaseIndexAt(const Timeline& timeline, double t);

// The values at t seconds (kept within the session). Within a phase values move linearly from
// its start to its end values; over its first glideS seconds they ease in from where the last
// phase ended. No allocation: the audio thread samples once a block.
TimelineSample sampleTimeline(const Timeline& timeline, double t);

}  // namespace solvera::session
