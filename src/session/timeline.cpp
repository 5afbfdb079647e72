// The timeline: phases laid end to end, glides between and within them, the session's fades.
#include "session/timeline.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>

#include "session/js_values.hpp"

namespace solvera::session {
namespace {


bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Digits, then optionally "." or "," and digits; returns the length matched (0 for none).
std::size_t decimalPrefix(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && isDigit(text[i])) ++i;
  if (i == 0) return 0;
  if (i + 1 < text.size() && (text[i] == '.' || text[i] == ',') && isDigit(text[i + 1])) {
    i += 1;
    while (i < text.size() && isDigit(text[i])) ++i;
  }
  return i;
}

double decimalValue(std::string_view digits) {
  std::string text(digits);
  if (auto comma = text.find(','); comma != std::string::npos) text[comma] = '.';
  return parseDecimal(text);
}

// Leading white space (the script's \s) skipped.
std::string_view skipSpace(std::string_view text) {
  std::string_view trimmed = jsTrim(text);
  // jsTrim trims both ends; only the front is wanted here.
  return text.substr(static_cast<std::size_t>(trimmed.data() - text.data()));
}

bool startsWithNoCase(std::string_view text, std::string_view word) {
  if (text.size() < word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != word[i]) return false;
  }
  return true;
}

double clampValue(double v, double lo, double hi) { return std::min(hi, std::max(lo, v)); }

double numberOr(const std::optional<double>& value, double fallback) {
  return value && std::isfinite(*value) ? *value : fallback;
}

double percent(const std::optional<double>& value, double fallback) {
  return clampValue(numberOr(value, fallback), 0, 100);
}

std::optional<FrequencySpan> frequencyOf(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return parseFrequency(*text);
}

const std::string& nonEmptyOr(const std::optional<std::string>& text, const std::string& fallback) {
  return text && !text->empty() ? *text : fallback;
}

TimelineValues phaseColourAndLevels(const SessionPhase& phase, const TimelinePhase* previous) {
  TimelineValues v;
  if (phase.rgb && std::isfinite(phase.rgb->r) && std::isfinite(phase.rgb->g) &&
      std::isfinite(phase.rgb->b)) {
    v.r = clampValue(phase.rgb->r, 0, 255);
    v.g = clampValue(phase.rgb->g, 0, 255);
    v.b = clampValue(phase.rgb->b, 0, 255);
  } else if (auto rgb = phase.colorHex ? hexToRgb(*phase.colorHex) : std::nullopt) {
    v.r = rgb->r;
    v.g = rgb->g;
    v.b = rgb->b;
  }
  v.rgbIntensity = percent(phase.rgbIntensity, previous ? previous->end.rgbIntensity : 60);
  v.whiteIntensity = percent(phase.whiteIntensity, previous ? previous->end.whiteIntensity : 0);
  v.pulseVolume = percent(phase.pulseVolume, previous ? previous->end.pulseVolume : 50);
  v.musicVolume = percent(phase.musicVolume, previous ? previous->end.musicVolume : 40);
  v.noiseVolume = percent(phase.noiseVolume, previous ? previous->end.noiseVolume : 0);
  v.reverbMix = percent(phase.reverbMix, previous ? previous->end.reverbMix : 20);
  return v;
}

TimelinePhase resolvePhase(const SessionPhase& phase, const Session& session, int index,
                           const TimelinePhase* previous) {
  static const std::string kSine = "sine", kPink = "pink", kRoom = "room", kNone;
  const double carrierSession = numberOr(session.carrierFrequencyHz, kDefaultCarrierHz);
  FrequencySpan beat = parseFrequency(phase.audioFrequencyHz)
                           .value_or(previous ? FrequencySpan{previous->end.beatHz, previous->end.beatHz}
                                              : FrequencySpan{10, 10});
  FrequencySpan light = frequencyOf(phase.lightFrequencyHz).value_or(beat);
  FrequencySpan carrier =
      frequencyOf(phase.carrierFrequencyHz).value_or(FrequencySpan{carrierSession, carrierSession});
  TimelinePhase r;
  r.index = index;
  r.name = phase.name.value_or("");
  r.nameEn = phase.nameEn.value_or("");
  r.purpose = phase.purpose.value_or("");
  r.purposeEn = phase.purposeEn.value_or("");
  r.start = phaseColourAndLevels(phase, previous);
  r.end = r.start;
  r.start.beatHz = beat.from;
  r.end.beatHz = beat.to;
  r.start.lightHz = light.from;
  r.end.lightHz = light.to;
  r.start.carrierHz = carrier.from;
  r.end.carrierHz = carrier.to;
  r.discrete.pulseShape = nonEmptyOr(phase.pulseShape, kSine);
  r.discrete.audioPulseShape = nonEmptyOr(phase.audioPulseShape, kNone);
  r.discrete.noiseType = nonEmptyOr(phase.noiseType, kPink);
  r.discrete.musicMood = nonEmptyOr(phase.musicMood, nonEmptyOr(session.musicMood, kNone));
  r.discrete.reverbPreset = nonEmptyOr(phase.reverbPreset, kRoom);
  r.discrete.halcyonMode = phase.halcyonMode.value_or(false);
  r.discrete.ganzfeldMode = phase.ganzfeldMode.value_or(false);
  return r;
}

double smoothstep(double x) {
  double t = clampValue(x, 0, 1);
  return t * t * (3 - 2 * t);
}

double lerp(double a, double b, double t) { return a + (b - a) * t; }

// The gliding members, walked together.
template <typename F>
void forEachValue(TimelineValues& out, const TimelineValues& a, const TimelineValues& b, F f) {
  out.beatHz = f(a.beatHz, b.beatHz);
  out.lightHz = f(a.lightHz, b.lightHz);
  out.carrierHz = f(a.carrierHz, b.carrierHz);
  out.r = f(a.r, b.r);
  out.g = f(a.g, b.g);
  out.b = f(a.b, b.b);
  out.rgbIntensity = f(a.rgbIntensity, b.rgbIntensity);
  out.whiteIntensity = f(a.whiteIntensity, b.whiteIntensity);
  out.pulseVolume = f(a.pulseVolume, b.pulseVolume);
  out.musicVolume = f(a.musicVolume, b.musicVolume);
  out.noiseVolume = f(a.noiseVolume, b.noiseVolume);
  out.reverbMix = f(a.reverbMix, b.reverbMix);
}

}  // namespace

double parseTimeMinutes(double minutes) { return std::isfinite(minutes) ? minutes * 60 : kNaN; }

double parseTime(std::string_view raw) {
  std::string_view text = jsTrim(raw);
  if (!text.empty() && decimalPrefix(text) == text.size()) return decimalValue(text) * 60;
  std::array<double, 3> numbers{};
  std::size_t count = 0;
  std::size_t begin = 0;
  while (true) {
    std::size_t colon = text.find(':', begin);
    std::string_view part = text.substr(begin, colon == std::string_view::npos ? std::string_view::npos : colon - begin);
    if (part.empty() || !std::all_of(part.begin(), part.end(), isDigit) || count == numbers.size()) return kNaN;
    numbers[count++] = parseDecimal(part);
    if (colon == std::string_view::npos) break;
    begin = colon + 1;
  }
  if (count < 2) return kNaN;
  for (std::size_t i = 1; i < count; ++i) {
    if (numbers[i] >= 60) return kNaN;
  }
  double total = 0;
  for (std::size_t i = 0; i < count; ++i) total = total * 60 + numbers[i];
  return total;
}

std::string formatClock(double seconds) {
  const double s = std::max(0.0, jsRound(seconds));
  const auto whole = static_cast<long long>(s);
  const long long h = whole / 3600;
  const long long m = (whole % 3600) / 60;
  const long long r = whole % 60;
  char buffer[48];
  if (h > 0) {
    std::snprintf(buffer, sizeof buffer, "%lld:%02lld:%02lld", h, m, r);
  } else {
    std::snprintf(buffer, sizeof buffer, "%02lld:%02lld", m, r);
  }
  return buffer;
}

std::optional<FrequencySpan> frequencyOfNumber(double value) {
  if (!std::isfinite(value) || value < 0) return std::nullopt;
  return FrequencySpan{value, value};
}

std::optional<FrequencySpan> parseFrequency(std::string_view raw) {
  std::string_view text = jsTrim(raw);
  // A trailing "Hz" (any case) and the white space before it.
  if (text.size() >= 2 && startsWithNoCase(text.substr(text.size() - 2), "hz")) {
    text.remove_suffix(2);
    // The text began without white space, so trimming takes only what stood before "Hz".
    text = jsTrim(text);
  }
  std::size_t first = decimalPrefix(text);
  if (first == 0) return std::nullopt;
  const double from = decimalValue(text.substr(0, first));
  std::string_view rest = text.substr(first);
  if (rest.empty()) return FrequencySpan{from, from};
  rest = skipSpace(rest);
  static constexpr std::array<std::string_view, 6> kSeparators{"\u2192", "->", "\u2013", "-", "to", "naar"};
  bool separated = false;
  for (std::string_view separator : kSeparators) {
    if (startsWithNoCase(rest, separator)) {
      rest.remove_prefix(separator.size());
      separated = true;
      break;
    }
  }
  if (!separated) return std::nullopt;
  rest = skipSpace(rest);
  std::size_t second = decimalPrefix(rest);
  if (second == 0 || second != rest.size()) return std::nullopt;
  return FrequencySpan{from, decimalValue(rest)};
}

std::optional<Rgb8> hexToRgb(std::string_view raw) {
  std::string_view h = jsTrim(raw);
  if (!h.empty() && h.front() == '#') h.remove_prefix(1);
  auto hex = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
  };
  if (!std::all_of(h.begin(), h.end(), [&](char c) { return hex(c) >= 0; })) return std::nullopt;
  if (h.size() == 3) return Rgb8{hex(h[0]) * 17, hex(h[1]) * 17, hex(h[2]) * 17};
  if (h.size() != 6) return std::nullopt;
  return Rgb8{hex(h[0]) * 16 + hex(h[1]), hex(h[2]) * 16 + hex(h[3]), hex(h[4]) * 16 + hex(h[5])};
}

std::string rgbToHex(double r, double g, double b) {
  auto part = [](double v) { return static_cast<int>(jsRound(clampValue(v, 0, 255))); };
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "#%02x%02x%02x", part(r), part(g), part(b));
  return buffer;
}

Timeline buildTimeline(const Session& session, double glideSeconds) {
  const auto& phases = session.phases;
  if (phases.empty()) {
    throw ErrorException(kSessionErrorDomain, 400, "De sessie heeft geen fasen.");
  }
  const double declaredTotal =
      (session.durationMinutes && std::isfinite(*session.durationMinutes) ? *session.durationMinutes : kNaN) * 60;
  const std::size_t n = phases.size();
  std::vector<std::array<double, 2>> bounds(n);
  bool consistent = true;
  for (std::size_t i = 0; i < n; ++i) {
    const double s = phases[i].start ? parseTime(*phases[i].start) : kNaN;
    const double e = phases[i].end ? parseTime(*phases[i].end) : kNaN;
    bounds[i] = {s, e};
    const bool joined = i == 0 ? s == 0 : std::fabs(s - bounds[i - 1][1]) < 0.001;
    if (!(std::isfinite(s) && std::isfinite(e) && e > s && joined)) consistent = false;
  }
  if (!consistent) {
    const double total = std::isfinite(declaredTotal) && declaredTotal > 0 ? declaredTotal : static_cast<double>(n) * 300;
    const double each = total / static_cast<double>(n);
    for (std::size_t i = 0; i < n; ++i) bounds[i] = {static_cast<double>(i) * each, static_cast<double>(i + 1) * each};
  }
  Timeline timeline;
  timeline.phases.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const TimelinePhase* previous = i == 0 ? nullptr : &timeline.phases[i - 1];
    TimelinePhase r = resolvePhase(phases[i], session, static_cast<int>(i), previous);
    r.startS = bounds[i][0];
    r.endS = bounds[i][1];
    r.glideS = i == 0 ? 0 : std::min(glideSeconds, 0.3 * (r.endS - r.startS));
    timeline.phases.push_back(std::move(r));
  }
  timeline.durationS = timeline.phases.back().endS;
  return timeline;
}

int phaseIndexAt(const Timeline& timeline, double t) {
  const auto& phases = timeline.phases;
  for (std::size_t i = 0; i < phases.size(); ++i) {
    if (t < phases[i].endS) return static_cast<int>(i);
  }
  return static_cast<int>(phases.size()) - 1;
}

TimelineSample sampleTimeline(const Timeline& timeline, double t) {
  const double time = clampValue(std::isnan(t) ? 0 : t, 0, timeline.durationS);
  const int index = phaseIndexAt(timeline, time);
  const TimelinePhase& phase = timeline.phases[static_cast<std::size_t>(index)];
  const double length = phase.endS - phase.startS;
  const double within = length > 0 ? (time - phase.startS) / length : 1;
  TimelineSample sample;
  forEachValue(sample.values, phase.start, phase.end, [within](double a, double b) { return lerp(a, b, within); });
  bool gliding = false;
  if (index > 0 && phase.glideS > 0 && time - phase.startS < phase.glideS) {
    const TimelinePhase& previous = timeline.phases[static_cast<std::size_t>(index - 1)];
    const double k = smoothstep((time - phase.startS) / phase.glideS);
    const TimelineValues here = sample.values;
    forEachValue(sample.values, previous.end, here, [k](double a, double b) { return lerp(a, b, k); });
    gliding = k < 1;
  }
  if (phase.start.beatHz != phase.end.beatHz || phase.start.lightHz != phase.end.lightHz ||
      phase.start.carrierHz != phase.end.carrierHz) {
    gliding = true;
  }
  // Short sessions get short fades: at most a tenth of the session each.
  const double fadeInS = std::min(kFadeInSeconds, timeline.durationS / 10);
  const double fadeOutS = std::min(kFadeOutSeconds, timeline.durationS / 10);
  const double fadeIn = fadeInS > 0 ? clampValue(time / fadeInS, 0, 1) : 1;
  const double fadeOut = fadeOutS > 0 ? clampValue((timeline.durationS - time) / fadeOutS, 0, 1) : 1;
  sample.time = time;
  sample.phaseIndex = index;
  sample.phase = &phase;
  sample.phaseElapsedS = time - phase.startS;
  sample.phaseRemainingS = phase.endS - time;
  sample.remainingS = timeline.durationS - time;
  sample.gliding = gliding;
  sample.envelope = std::min(smoothstep(fadeIn), smoothstep(fadeOut));
  return sample;
}

}  // namespace solvera::session
