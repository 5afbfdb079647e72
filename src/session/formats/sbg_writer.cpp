// Writing a session as an SBaGen sequence: the timeline's sound as tone-sets at its turning
// points, joined by slides, so that an SBaGen-family player follows the same curve.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "audio/tone_generator.hpp"
#include "session/formats/sbg_format.hpp"
#include "session/timeline.hpp"

namespace solvera::session {
namespace {

std::string number(double value, int decimals) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  std::string text = buffer;
  if (text.find('.') != std::string::npos) {
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
  }
  return text == "-0" ? "0" : text;
}

std::string clock(double seconds) {
  const auto s = static_cast<long long>(std::llround(seconds));
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%02lld:%02lld:%02lld", s / 3600, (s % 3600) / 60, s % 60);
  return buffer;
}

// One line of text in a comment: no line breaks.
std::string oneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

// The sound of two moments alike (the light may differ; it is not written).
bool sameSound(const TimelineValues& a, const TimelineValues& b) {
  return a.beatHz == b.beatHz && a.carrierHz == b.carrierHz && a.pulseVolume == b.pulseVolume &&
         a.noiseVolume == b.noiseVolume;
}

struct Keyframe {
  double t = 0;
  std::string name;
  TimelineValues values;
  std::string noise;
  std::string shape;
};

}  // namespace

std::string writeSbg(const Session& session) {
  const Timeline timeline = buildTimeline(session);
  const std::string modeWord = session.audioMode.value_or("binaural");
  // The renderer's rule: a word it does not know plays binaural.
  const ToneMode mode = toneModeWord(toneModeFromWord(modeWord)) == modeWord ? toneModeFromWord(modeWord) : ToneMode::binaural;
  std::vector<Keyframe> keys;
  auto phaseName = [](std::size_t i) { return "fase" + std::to_string(i + 1); };
  for (std::size_t i = 0; i < timeline.phases.size(); ++i) {
    const TimelinePhase& p = timeline.phases[i];
    const std::string& noise = p.discrete.noiseType;
    const std::string shape = p.discrete.audioPulseShape.empty() ? "sine" : p.discrete.audioPulseShape;
    const double length = p.endS - p.startS;
    const double glide = std::round(p.glideS);
    const bool glides = i > 0 && glide > 0 && glide < length && !sameSound(p.start, timeline.phases[i - 1].end);
    if (!glides) {
      keys.push_back({p.startS, phaseName(i), p.start, noise, shape});
      continue;
    }
    // The glide in from where the last phase ended, onto this phase's own line.
    keys.push_back({p.startS, phaseName(i) + "-in", timeline.phases[i - 1].end, noise, shape});
    TimelineValues after = p.start;
    const double k = glide / length;
    after.beatHz = p.start.beatHz + (p.end.beatHz - p.start.beatHz) * k;
    after.carrierHz = p.start.carrierHz + (p.end.carrierHz - p.start.carrierHz) * k;
    keys.push_back({p.startS + glide, phaseName(i), after, noise, shape});
  }
  const TimelinePhase& last = timeline.phases.back();
  keys.push_back({last.endS, "einde", last.end, last.discrete.noiseType,
                  last.discrete.audioPulseShape.empty() ? "sine" : last.discrete.audioPulseShape});

  // Noise is written in every tone-set (at 0 where silent) once the session has any, so that
  // its level slides rather than the noise fading out and in.
  bool anyNoise = false;
  for (const Keyframe& key : keys) anyNoise = anyNoise || key.values.noiseVolume > 0;
  bool sbagenxOnly = false;
  bool shapeLost = false;
  bool loud = false;
  auto toneSet = [&](const Keyframe& key) {
    const TimelineValues& v = key.values;
    const std::string level = number(v.pulseVolume, 2);
    std::string tones;
    switch (mode) {
      case ToneMode::binaural: {
        std::string prefix;
        if (key.shape == "square" || key.shape == "triangle" || key.shape == "sawtooth") {
          prefix = key.shape + ":";
          sbagenxOnly = true;
        } else if (key.shape != "sine") {
          shapeLost = true;
        }
        // "-": the higher tone in the right ear, as this program plays it.
        tones = prefix + number(v.carrierHz, 3) + "-" + number(v.beatHz, 3) + "/" + level;
        break;
      }
      case ToneMode::monaural: {
        // Two plain tones in both ears beat in the air: a monaural beat.
        const std::string half = number(v.pulseVolume / 2, 2);
        tones = number(v.carrierHz - v.beatHz / 2, 3) + "/" + half + " " + number(v.carrierHz + v.beatHz / 2, 3) + "/" + half;
        shapeLost = shapeLost || key.shape != "sine";
        break;
      }
      default:
        tones = number(v.carrierHz, 3) + "@" + number(v.beatHz, 3) + "/" + level;
        sbagenxOnly = true;
        shapeLost = shapeLost || key.shape != "sine";
        break;
    }
    if (anyNoise) {
      const std::string word = key.noise == "white" || key.noise == "brown" ? key.noise : "pink";
      if (word != "pink") sbagenxOnly = true;
      tones = word + "/" + number(v.noiseVolume, 2) + " " + tones;
    }
    if (v.pulseVolume + v.noiseVolume > 100) loud = true;
    return tones;
  };

  std::string sets;
  for (const Keyframe& key : keys) sets += key.name + ": " + toneSet(key) + "\n";
  std::string lines;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const bool first = i == 0;
    const bool final = i + 1 == keys.size();
    lines += "NOW+" + clock(keys[i].t) + " " + (first ? "<=" : final ? "=>" : "==") + " " + keys[i].name +
             (final ? "" : " ->") + "\n";
  }

  std::string out;
  out += "## Solvera Pro Audio+Light: " + oneLine(session.title) + "\n";
  if (session.goal && !session.goal->empty()) out += "## " + oneLine(*session.goal) + "\n";
  out += "#\n";
  out += "# Geschreven door Solvera Pro Audio+Light voor SBaGen en verwante spelers (sbagen, sbagenx).\n";
  out += "# Written by Solvera Pro Audio+Light for SBaGen and related players (sbagen, sbagenx).\n";
  out += "# Toon, beat, draaggolf, ruis en de tijden van de fasen staan hieronder; niet in dit bestand:\n";
  out += "# het licht (kleuren, lichtfrequentie), de muziek, de galm en de equalizer.\n";
  out += "# Not in this file: the light, the music, the reverb and the equaliser.\n";
  if (sbagenxOnly) {
    out += "# Isochrone tonen (@), witte of bruine ruis of een golfvorm vragen SBaGenX.\n";
    out += "# Isochronic tones (@), white or brown noise or a waveform need SBaGenX.\n";
  }
  if (shapeLost) {
    out += "# De pulsvorm van de sessie speelt hier als sinus. / The session's pulse shape plays as a sine here.\n";
  }
  if (loud) {
    out += "# Toon en ruis samen boven 100: SBaGenX past het volume aan, het oude SBaGen vervormt.\n";
    out += "# Tone and noise together above 100: SBaGenX adjusts the volume, classic SBaGen distorts.\n";
  }
  out += "# Fasen / phases:";
  for (std::size_t i = 0; i < timeline.phases.size(); ++i) {
    const TimelinePhase& p = timeline.phases[i];
    out += "\n#   " + std::to_string(i + 1) + ". " + oneLine(p.name.empty() ? p.nameEn : p.name) + " (" + clock(p.startS) +
           " - " + clock(p.endS) + ")";
  }
  out += "\n\n-SE\n\n" + sets + "\n" + lines;
  return out;
}

}  // namespace solvera::session
