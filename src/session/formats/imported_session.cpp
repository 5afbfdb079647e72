// From a reader's timeline to a session: whole-second phases, at most the session's phase
// count, ranges kept, and the notices that say what changed on the way.
#include "session/formats/imported_session.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "audio/audio_limits.hpp"

namespace solvera::session {
namespace {

// The session's own limits: 64 phases, 10 hours.
constexpr std::size_t kMaxPhases = 64;
constexpr double kMaxSeconds = 600 * 60;
// Within this a value is the same (frequencies in Hz, levels in percent).
constexpr double kSameHz = 1e-6;
constexpr double kSameLevel = 0.05;

std::string joinLines(const std::vector<int>& lines) {
  std::string out;
  const std::size_t shown = std::min<std::size_t>(lines.size(), 5);
  for (std::size_t i = 0; i < shown; ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(lines[i]);
  }
  return out;
}

std::string numberText(double value, int decimals) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  std::string text = buffer;
  if (text.find('.') != std::string::npos) {
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
  }
  if (text == "-0") text = "0";
  return text;
}

// Dutch decimals with a comma.
std::string dutchNumber(double value, int decimals) {
  std::string text = numberText(value, decimals);
  std::replace(text.begin(), text.end(), '.', ',');
  return text;
}

const char* modeWord(ImportToneMode mode) {
  switch (mode) {
    case ImportToneMode::monaural: return "monaural";
    case ImportToneMode::isochronic: return "isochronic";
    default: return "binaural";
  }
}

const char* noiseWord(ImportNoise noise) {
  switch (noise) {
    case ImportNoise::white: return "white";
    case ImportNoise::brown: return "brown";
    default: return "pink";
  }
}

struct Phase {
  double startS = 0;
  double endS = 0;
  ImportPoint from;
  ImportPoint to;
  std::string name;
  int line = 0;
  double deviationHz = 0;  // how far merging moved the beat from the file's, at most
};

bool sameSound(const ImportPoint& a, const ImportPoint& b) {
  return a.mode == b.mode && a.noise == b.noise && a.waveform == b.waveform &&
         std::fabs(a.toneLevel - b.toneLevel) < kSameLevel && std::fabs(a.noiseLevel - b.noiseLevel) < kSameLevel;
}

double lerp(double a, double b, double t) { return a + (b - a) * t; }

// How far the beat and carrier of one line from p.from to q.to lie from the file's values at
// the join of p and q (the end of p and the start of q).
struct JoinError {
  double beatHz = 0;
  double carrierHz = 0;
};

JoinError joinError(const Phase& p, const Phase& q) {
  const double length = q.endS - p.startS;
  const double t = length > 0 ? (p.endS - p.startS) / length : 0;
  const double beat = lerp(p.from.beatHz, q.to.beatHz, t);
  const double carrier = lerp(p.from.carrierHz, q.to.carrierHz, t);
  return {std::max(std::fabs(beat - p.to.beatHz), std::fabs(beat - q.from.beatHz)),
          std::max(std::fabs(carrier - p.to.carrierHz), std::fabs(carrier - q.from.carrierHz))};
}

Phase merged(const Phase& p, const Phase& q, double deviationHz) {
  Phase m = p;
  m.endS = q.endS;
  m.to = q.to;
  const double lp = p.endS - p.startS;
  const double lq = q.endS - q.startS;
  const double w = lp + lq > 0 ? lp / (lp + lq) : 0.5;
  // Levels hold through a phase: the time-weighted mean of the two.
  m.from.toneLevel = p.from.toneLevel * w + q.from.toneLevel * (1 - w);
  m.from.noiseLevel = p.from.noiseLevel * w + q.from.noiseLevel * (1 - w);
  if (lq > lp) {
    m.from.noise = q.from.noise;
    m.from.waveform = q.from.waveform;
    m.name = q.name;
    m.line = q.line;
  }
  m.to.toneLevel = m.from.toneLevel;
  m.to.noiseLevel = m.from.noiseLevel;
  m.to.noise = m.from.noise;
  m.deviationHz = std::max({p.deviationHz, q.deviationHz, deviationHz});
  return m;
}

// Fills tone-less moments with the neighbouring tone's frequencies (at no level), so that a
// silent stretch neither glides nor jumps in pitch.
void fillSilentTones(std::vector<ImportSegment>& segments, ImportNotes& notes) {
  const ImportPoint* firstTone = nullptr;
  for (const ImportSegment& s : segments) {
    if (s.from.mode != ImportToneMode::none) { firstTone = &s.from; break; }
    if (s.to.mode != ImportToneMode::none) { firstTone = &s.to; break; }
  }
  ImportPoint fallback;
  fallback.mode = ImportToneMode::binaural;
  fallback.carrierHz = 200;
  fallback.beatHz = 10;
  if (firstTone == nullptr) {
    notes.add("no-tone", 0, "Het bestand bevat geen binaurale, monaurale of isochrone toon; de toon staat uit.",
              "The file holds no binaural, monaural or isochronic tone; the tone is off.");
  } else {
    fallback = *firstTone;
  }
  const ImportPoint* last = &fallback;
  auto fill = [&](ImportPoint& p) {
    if (p.mode == ImportToneMode::none) {
      p.mode = last->mode;
      p.carrierHz = last->carrierHz;
      p.beatHz = last->beatHz;
      p.waveform = last->waveform;
      p.toneLevel = 0;
    } else {
      last = &p;
    }
  };
  for (ImportSegment& s : segments) {
    fill(s.from);
    fill(s.to);
  }
}

void keepInRange(double& value, ValueRange range, bool& changed) {
  const double kept = std::clamp(std::isfinite(value) ? value : range.min, range.min, range.max);
  if (kept != value) changed = true;
  value = kept;
}

}  // namespace

void ImportNotes::add(std::string_view kind, int line, std::string nl, std::string en) {
  for (ImportNotice& notice : notices_) {
    if (notice.kind != kind) continue;
    if (line > 0 && std::find(notice.lines.begin(), notice.lines.end(), line) == notice.lines.end()) {
      notice.lines.push_back(line);
    }
    return;
  }
  ImportNotice notice{std::string(kind), {}, std::move(nl), std::move(en)};
  if (line > 0) notice.lines.push_back(line);
  notices_.push_back(std::move(notice));
}

bool ImportNotes::has(std::string_view kind) const {
  return std::any_of(notices_.begin(), notices_.end(), [&](const ImportNotice& n) { return n.kind == kind; });
}

std::string noticeText(const ImportNotice& notice, bool dutch) {
  const std::string& text = dutch ? notice.nl : notice.en;
  if (notice.lines.empty()) return text;
  std::string prefix = dutch ? (notice.lines.size() == 1 ? "Regel " : "Regels ")
                             : (notice.lines.size() == 1 ? "Line " : "Lines ");
  prefix += joinLines(notice.lines);
  if (notice.lines.size() > 5) {
    const std::string more = std::to_string(notice.lines.size() - 5);
    prefix += dutch ? " en " + more + " andere" : " and " + more + " more";
  }
  return prefix + ": " + text;
}

std::string failureText(const ImportFailure& failure, bool dutch) {
  const std::string& text = dutch ? failure.nl : failure.en;
  if (failure.line <= 0) return text;
  return (dutch ? "Regel " : "Line ") + std::to_string(failure.line) + ": " + text;
}

OrderedJson importResultToJson(const ImportResult& result) {
  OrderedJson out = OrderedJson::object();
  out["ok"] = result.session.has_value();
  if (result.session) {
    out["session"] = *result.session;
  } else {
    out["error"] = {{"line", result.failure.line},
                    {"nl", failureText(result.failure, true)},
                    {"en", failureText(result.failure, false)}};
  }
  OrderedJson notices = OrderedJson::array();
  for (const ImportNotice& notice : result.notices) {
    notices.push_back({{"kind", notice.kind},
                       {"lines", notice.lines},
                       {"nl", noticeText(notice, true)},
                       {"en", noticeText(notice, false)}});
  }
  out["notices"] = std::move(notices);
  return out;
}

std::string importFrequencyText(double from, double to) {
  const std::string a = numberText(from, 3);
  const std::string b = numberText(to, 3);
  return a == b ? a : a + " \u2192 " + b;
}

std::string importClockText(double seconds) {
  const auto whole = static_cast<long long>(std::llround(std::max(0.0, seconds)));
  char buffer[48];
  if (whole >= 3600) {
    std::snprintf(buffer, sizeof buffer, "%lld:%02lld:%02lld", whole / 3600, (whole % 3600) / 60, whole % 60);
  } else {
    std::snprintf(buffer, sizeof buffer, "%02lld:%02lld", whole / 60, whole % 60);
  }
  return buffer;
}

ImportResult buildImportedSession(ImportDraft draft, ImportNotes& notes) {
  ImportResult result;
  std::vector<ImportSegment>& segments = draft.segments;
  std::erase_if(segments, [](const ImportSegment& s) { return !(s.endS > s.startS); });
  if (segments.empty()) {
    result.failure = {0, "Het bestand bevat geen tijdlijn met een duur.", "The file holds no timeline with a length."};
    result.notices = notes.take();
    return result;
  }
  if (segments.back().endS > kMaxSeconds) {
    notes.add("too-long", 0, "De sessie is na 10 uur afgekapt (langer kan het programma niet spelen).",
              "The session was cut after 10 hours (the program plays no longer).");
    std::erase_if(segments, [](const ImportSegment& s) { return s.startS >= kMaxSeconds; });
    ImportSegment& last = segments.back();
    if (last.endS > kMaxSeconds) {
      const double t = (kMaxSeconds - last.startS) / (last.endS - last.startS);
      last.to.beatHz = lerp(last.from.beatHz, last.to.beatHz, t);
      last.to.carrierHz = lerp(last.from.carrierHz, last.to.carrierHz, t);
      last.endS = kMaxSeconds;
    }
  }
  fillSilentTones(segments, notes);

  const ImportToneMode mode = segments.front().from.mode;
  for (ImportSegment& s : segments) {
    for (ImportPoint* p : {&s.from, &s.to}) {
      if (p->mode != mode && p->toneLevel > 0) {
        notes.add("mode", s.line,
                  std::string("Het programma speelt één soort toon per sessie; deze toon speelt hier ook ") +
                      (mode == ImportToneMode::isochronic  ? "isochroon."
                       : mode == ImportToneMode::monaural ? "monauraal."
                                                          : "binauraal."),
                  std::string("The program plays one kind of tone per session; this tone also plays ") + modeWord(mode) +
                      " here.");
      }
      p->mode = mode;
      bool beat = false;
      bool carrier = false;
      keepInRange(p->beatHz, kBeatRangeHz, beat);
      keepInRange(p->carrierHz, kCarrierRangeHz, carrier);
      if (beat) {
        notes.add("beat-range", s.line, "Een beatfrequentie buiten 0,1 tot 40 Hz is tot dat bereik begrensd.",
                  "A beat frequency outside 0.1 to 40 Hz was kept to that range.");
      }
      if (carrier) {
        notes.add("carrier-range", s.line, "Een draaggolf buiten 20 tot 20.000 Hz is tot dat bereik begrensd.",
                  "A carrier outside 20 to 20,000 Hz was kept to that range.");
      }
      p->toneLevel = std::clamp(p->toneLevel, 0.0, 100.0);
      p->noiseLevel = std::clamp(p->noiseLevel, 0.0, 100.0);
    }
  }

  // Whole seconds: the phase times the page edits and the timeline reads.
  std::vector<Phase> phases;
  int dropped = 0;
  for (const ImportSegment& s : segments) {
    const double start = phases.empty() ? 0.0 : phases.back().endS;
    const double end = std::round(s.endS);
    if (end <= start) {
      ++dropped;
      continue;
    }
    phases.push_back(Phase{start, end, s.from, s.to, s.name, s.line, 0});
  }
  if (phases.empty()) {
    result.failure = {0, "De tijdlijn van het bestand is korter dan een seconde.", "The file's timeline is shorter than a second."};
    result.notices = notes.take();
    return result;
  }
  if (dropped > 0) {
    notes.add("short", 0,
              "Tijden zijn op hele seconden gezet; " + std::to_string(dropped) +
                  " stuk(ken) korter dan een seconde zijn opgegaan in hun buren.",
              "Times were set to whole seconds; " + std::to_string(dropped) +
                  " stretch(es) shorter than a second went into their neighbours.");
  }

  if (draft.absorbGlideIns) {
    // The stretch "<name>-in" from the last phase's values onto the line of "<name>" is what
    // the timeline's own glide-in (45 s, at most 30 % of the phase) plays: one phase.
    for (std::size_t i = 0; i + 1 < phases.size(); ++i) {
      const Phase& a = phases[i];
      const Phase& b = phases[i + 1];
      const double length = b.endS - a.startS;
      const double glide = std::min(45.0, 0.3 * length);
      if (a.name != b.name + "-in" || std::fabs((a.endS - a.startS) - glide) > 1.5 || !sameSound(a.to, b.from)) {
        continue;
      }
      const double f = (a.endS - a.startS) / length;
      Phase p = b;
      p.startS = a.startS;
      p.from.beatHz = (b.from.beatHz - b.to.beatHz * f) / (1 - f);
      p.from.carrierHz = (b.from.carrierHz - b.to.carrierHz * f) / (1 - f);
      if (!kBeatRangeHz.contains(p.from.beatHz) || !kCarrierRangeHz.contains(p.from.carrierHz)) continue;
      phases[i] = p;
      phases.erase(phases.begin() + static_cast<std::ptrdiff_t>(i) + 1);
    }
  }

  for (const Phase& p : phases) {
    if (std::fabs(p.from.toneLevel - p.to.toneLevel) > 5 || std::fabs(p.from.noiseLevel - p.to.noiseLevel) > 5) {
      notes.add("level-ramp", p.line,
                "Een volume dat binnen een stuk verloopt, houdt hier zijn beginwaarde en gaat pas aan het begin van "
                "de volgende fase naar de nieuwe waarde.",
                "A volume that changes within a stretch keeps its starting value here and moves to the new value "
                "at the start of the next phase.");
    }
  }
  // Neighbours that make one straight line with the same sound are one phase.
  for (std::size_t i = 0; i + 1 < phases.size();) {
    const Phase& p = phases[i];
    const Phase& q = phases[i + 1];
    const JoinError e = joinError(p, q);
    if (sameSound(p.from, q.from) && sameSound(p.from, p.to) && sameSound(q.from, q.to) && e.beatHz < kSameHz &&
        e.carrierHz < kSameHz) {
      phases[i] = merged(p, q, 0);
      phases.erase(phases.begin() + static_cast<std::ptrdiff_t>(i) + 1);
    } else {
      ++i;
    }
  }
  // More than the session holds: merge where it changes the least.
  if (phases.size() > kMaxPhases) {
    const std::size_t before = phases.size();
    while (phases.size() > kMaxPhases) {
      std::size_t best = 0;
      double bestCost = std::numeric_limits<double>::infinity();
      double bestDeviation = 0;
      for (std::size_t i = 0; i + 1 < phases.size(); ++i) {
        const Phase& p = phases[i];
        const Phase& q = phases[i + 1];
        const JoinError e = joinError(p, q);
        double cost = e.beatHz + e.carrierHz / 100 + std::fabs(p.from.toneLevel - q.from.toneLevel) / 20 +
                      std::fabs(p.from.noiseLevel - q.from.noiseLevel) / 20 +
                      (p.from.noise != q.from.noise ? 5.0 : 0.0) + std::max(p.deviationHz, q.deviationHz);
        // Short phases go first, whatever else.
        cost *= std::min(p.endS - p.startS, q.endS - q.startS) / 60 + 0.01;
        if (cost < bestCost) {
          bestCost = cost;
          best = i;
          bestDeviation = e.beatHz;
        }
      }
      phases[best] = merged(phases[best], phases[best + 1], bestDeviation);
      phases.erase(phases.begin() + static_cast<std::ptrdiff_t>(best) + 1);
    }
    double deviation = 0;
    for (const Phase& p : phases) deviation = std::max(deviation, p.deviationHz);
    notes.add("merged", 0,
              std::to_string(before) + " stukken zijn samengevoegd tot 64 fasen (meer houdt een sessie niet); de beat "
                  "wijkt daardoor hoogstens " + dutchNumber(deviation, 3) + " Hz af.",
              std::to_string(before) + " stretches were merged into 64 phases (a session holds no more); the beat "
                  "moves by at most " + numberText(deviation, 3) + " Hz.");
  }

  notes.add("no-light", 0,
            "Het bestand bevat geen licht: de lampen blijven uit tot u in de editor licht toevoegt.",
            "The file holds no light: the lamps stay off until you add light in the editor.");

  OrderedJson session = OrderedJson::object();
  session["title"] = draft.title.empty() ? "Geïmporteerde sessie" : draft.title;
  if (draft.goal && !draft.goal->empty()) session["goal"] = *draft.goal;
  session["category"] = "Mijn sessies";
  session["categoryEn"] = "My sessions";
  session["audioMode"] = modeWord(mode);
  session["carrierFrequencyHz"] = std::round(phases.front().from.carrierHz * 1000) / 1000;
  OrderedJson list = OrderedJson::array();
  for (const Phase& p : phases) {
    OrderedJson phase = OrderedJson::object();
    if (!p.name.empty()) phase["name"] = p.name.substr(0, 120);
    phase["start"] = importClockText(p.startS);
    phase["end"] = importClockText(p.endS);
    phase["audioFrequencyHz"] = importFrequencyText(p.from.beatHz, p.to.beatHz);
    phase["carrierFrequencyHz"] = importFrequencyText(p.from.carrierHz, p.to.carrierHz);
    phase["rgbIntensity"] = 0;
    phase["whiteIntensity"] = 0;
    phase["pulseVolume"] = std::round(p.from.toneLevel * 100) / 100;
    phase["musicVolume"] = 0;
    phase["noiseVolume"] = std::round(p.from.noiseLevel * 100) / 100;
    phase["reverbMix"] = 0;
    phase["audioPulseShape"] = p.from.waveform;
    if (p.from.noise != ImportNoise::none) phase["noiseType"] = noiseWord(p.from.noise);
    list.push_back(std::move(phase));
  }
  session["phases"] = std::move(list);
  result.session = std::move(session);
  result.notices = notes.take();
  return result;
}

}  // namespace solvera::session
