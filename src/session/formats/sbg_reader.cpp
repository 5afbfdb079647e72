// Reading SBaGen sequence files: options, tone-sets, blocks and time lines, in two passes
// (definitions first, as a tone-set may be defined below the line that plays it).
#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "session/formats/sbg_format.hpp"

namespace solvera::session {
namespace {

constexpr double kDaySeconds = 24 * 3600;
constexpr double kDefaultLengthS = 3600;  // SBaGen's own length for a sequence without an end
constexpr int kMaxBlockDepth = 16;

struct Failure {
  ImportFailure failure;
};

[[noreturn]] void fail(int line, std::string nl, std::string en) {
  throw Failure{ImportFailure{line, std::move(nl), std::move(en)}};
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

std::vector<std::string> words(std::string_view s) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    std::size_t j = i;
    while (j < s.size() && !std::isspace(static_cast<unsigned char>(s[j]))) ++j;
    if (j > i) out.emplace_back(s.substr(i, j - i));
    i = j;
  }
  return out;
}

bool isNameStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }
bool isNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-'; }

// The length of a name at the start of s (0 when none).
std::size_t nameLength(std::string_view s) {
  if (s.empty() || !isNameStart(s.front())) return 0;
  std::size_t i = 1;
  while (i < s.size() && isNameChar(s[i])) ++i;
  return i;
}

// A plain decimal number ("10", "1.5", ".5"); nothing for anything else.
std::optional<double> decimal(std::string_view s) {
  if (s.empty()) return std::nullopt;
  bool digits = false;
  bool dot = false;
  for (char c : s) {
    if (c >= '0' && c <= '9') {
      digits = true;
    } else if (c == '.' && !dot) {
      dot = true;
    } else {
      return std::nullopt;
    }
  }
  if (!digits) return std::nullopt;
  return std::stod(std::string(s));
}

// "hh:mm" or "hh:mm:ss" in seconds.
std::optional<double> clock(std::string_view s) {
  std::vector<std::string_view> parts;
  std::size_t begin = 0;
  while (true) {
    const std::size_t colon = s.find(':', begin);
    parts.push_back(s.substr(begin, colon == std::string_view::npos ? std::string_view::npos : colon - begin));
    if (colon == std::string_view::npos) break;
    begin = colon + 1;
  }
  if (parts.size() < 2 || parts.size() > 3) return std::nullopt;
  double total = 0;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (parts[i].empty() || parts[i].size() > 2 ||
        !std::all_of(parts[i].begin(), parts[i].end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return std::nullopt;
    }
    const int value = std::stoi(std::string(parts[i]));
    if (i > 0 && value >= 60) return std::nullopt;
    total = total * 60 + value;
  }
  if (parts.size() == 2) total *= 60;
  return total;
}

struct TimeSpec {
  enum class Base { relative, now, clock } base = Base::relative;
  double clockS = 0;    // the absolute clock time, for Base::clock
  double offsetS = 0;   // the sum of the "+hh:mm" parts
};

std::optional<TimeSpec> parseTimeSpec(std::string_view s) {
  TimeSpec spec;
  if (s.starts_with("NOW")) {
    spec.base = TimeSpec::Base::now;
    s.remove_prefix(3);
  } else if (!s.empty() && s.front() != '+') {
    const std::size_t plus = s.find('+');
    auto c = clock(s.substr(0, plus));
    if (!c) return std::nullopt;
    spec.base = TimeSpec::Base::clock;
    spec.clockS = *c;
    s = plus == std::string_view::npos ? std::string_view() : s.substr(plus);
  }
  while (!s.empty()) {
    if (s.front() != '+') return std::nullopt;
    s.remove_prefix(1);
    const std::size_t plus = s.find('+');
    auto c = clock(s.substr(0, plus));
    if (!c) return std::nullopt;
    spec.offsetS += *c;
    s = plus == std::string_view::npos ? std::string_view() : s.substr(plus);
  }
  return spec;
}

struct RawTimeLine {
  TimeSpec time;
  std::string fade;  // two characters, or empty
  std::string name;
  bool slide = false;
  int line = 0;
};

RawTimeLine parseTimeLine(std::string_view text, int line) {
  const std::vector<std::string> w = words(text);
  RawTimeLine out;
  out.line = line;
  auto spec = parseTimeSpec(w.front());
  if (!spec) {
    fail(line, "'" + w.front() + "' is geen tijd (hh:mm, hh:mm:ss, NOW of +hh:mm).",
         "'" + w.front() + "' is not a time (hh:mm, hh:mm:ss, NOW or +hh:mm).");
  }
  out.time = *spec;
  std::size_t i = 1;
  if (i < w.size() && w[i].size() == 2 && std::string_view("<-=").find(w[i][0]) != std::string_view::npos &&
      std::string_view(">-=").find(w[i][1]) != std::string_view::npos) {
    out.fade = w[i++];
  }
  if (i >= w.size()) fail(line, "Na de tijd ontbreekt de naam van een toonset of blok.", "A tone-set or block name is missing after the time.");
  out.name = w[i++];
  if (nameLength(out.name) != out.name.size()) {
    fail(line, "'" + out.name + "' is geen naam van een toonset of blok.", "'" + out.name + "' is not a tone-set or block name.");
  }
  if (i < w.size() && w[i] == "->") {
    out.slide = true;
    ++i;
  }
  if (i < w.size()) fail(line, "Onverwacht '" + w[i] + "' aan het eind van de tijdregel.", "Unexpected '" + w[i] + "' at the end of the time line.");
  return out;
}

struct ToneSetDef {
  std::vector<std::string> specs;
  int line = 0;
};

enum class Waveform { sine, square, triangle, sawtooth };

struct Reader {
  ImportNotes notes;
  std::map<std::string, ToneSetDef, std::less<>> toneSets;
  std::map<std::string, std::vector<RawTimeLine>, std::less<>> blocks;
  std::vector<RawTimeLine> timeLines;
  std::vector<std::string> description;
  std::optional<double> lengthS;  // -L
  std::optional<ToneSetDef> immediate;  // -i
  bool endAtLast = false;         // -E
  std::string defaultWaveform = "sine";
  double volumeScale = 1;
  std::map<std::string, ImportPoint, std::less<>> points;  // tone-sets as played, made once

  void option(const std::vector<std::string>& w, int line);
  void definition(std::string_view text, int line);
  ImportPoint pointOf(const ToneSetDef& def);
  const ImportPoint& point(const std::string& name, int line);
  bool silent(const std::string& name);
};

void Reader::option(const std::vector<std::string>& w, int line) {
  static const std::string_view kWithValue = "qrbLTmipFRcwVIHAoKJXUZ";
  static const std::string_view kFlags = "SEQDMOWNPG";
  for (std::size_t i = 0; i < w.size(); ++i) {
    const std::string& token = w[i];
    if (token.size() < 2 || token[0] != '-') {
      fail(line, "'" + token + "' is geen optie.", "'" + token + "' is not an option.");
    }
    for (std::size_t k = 1; k < token.size(); ++k) {
      const char c = token[k];
      if (kFlags.find(c) != std::string_view::npos) {
        if (c == 'E') endAtLast = true;
        continue;
      }
      if (kWithValue.find(c) == std::string_view::npos) {
        notes.add("unknown-option", line, "Een onbekende optie (-" + std::string(1, c) + ") is overgeslagen.",
                  "An unknown option (-" + std::string(1, c) + ") was skipped.");
        continue;
      }
      std::string value = token.substr(k + 1);
      if (c == 'i' || c == 'p') {
        // The rest of the line is the immediate tone-set or the built-in sequence.
        std::vector<std::string> rest;
        if (!value.empty()) rest.push_back(value);
        rest.insert(rest.end(), w.begin() + static_cast<std::ptrdiff_t>(i) + 1, w.end());
        if (c == 'p') {
          fail(line, "Ingebouwde SBaGen-reeksen (-p " + (rest.empty() ? std::string() : rest.front()) +
                         ") kunnen niet worden ingelezen; alleen uitgeschreven tijdregels.",
               "SBaGen's built-in sequences (-p " + (rest.empty() ? std::string() : rest.front()) +
                   ") cannot be read in; only written-out time lines.");
        }
        immediate = ToneSetDef{rest, line};
        return;
      }
      if (value.empty()) {
        if (i + 1 >= w.size()) fail(line, "De optie -" + std::string(1, c) + " mist haar waarde.", "The option -" + std::string(1, c) + " lacks its value.");
        value = w[++i];
      }
      switch (c) {
        case 'L': {
          auto t = clock(value);
          if (!t) fail(line, "'" + value + "' is geen lengte (hh:mm of hh:mm:ss).", "'" + value + "' is not a length (hh:mm or hh:mm:ss).");
          lengthS = *t;
          break;
        }
        case 'w':
          if (value != "sine" && value != "square" && value != "triangle" && value != "sawtooth") {
            fail(line, "'" + value + "' is geen golfvorm.", "'" + value + "' is not a waveform.");
          }
          defaultWaveform = value;
          break;
        case 'V': {
          auto v = decimal(value);
          if (!v || *v > 100) fail(line, "'" + value + "' is geen volume van 1 tot 100.", "'" + value + "' is not a volume from 1 to 100.");
          volumeScale = *v / 100;
          break;
        }
        case 'm':
          notes.add("mix", line, "Een eigen geluidsbestand (-m) wordt niet meegenomen; kies muziek in de editor.",
                    "A sound file of its own (-m) is not taken along; choose music in the editor.");
          break;
        case 'F':
          notes.add("fade-time", line,
                    "Een eigen overgangstijd (-F) geldt hier niet: fasen lopen in 45 seconden (hoogstens 30 % van de fase) in elkaar over.",
                    "A fade time of its own (-F) does not apply: phases glide into each other over 45 seconds (at most 30 % of the phase).");
          break;
        case 'c':
          notes.add("compensation", line, "De correctie voor lage tonen (-c) wordt niet meegenomen.",
                    "The low-frequency compensation (-c) is not taken along.");
          break;
        case 'I':
        case 'H':
        case 'A':
          notes.add("envelope", line, "Een eigen puls- of mixomhullende (-" + std::string(1, c) + ") wordt niet meegenomen.",
                    "A pulse or mix envelope of its own (-" + std::string(1, c) + ") is not taken along.");
          break;
        case 'T':
          notes.add("start-time", line, "Een starttijd (-T) geldt hier niet: de sessie begint bij de eerste tijdregel.",
                    "A start time (-T) does not apply: the session starts at the first time line.");
          break;
        default:
          break;  // output and playback settings (rate, bits, files, speed): chosen when exporting
      }
      break;  // the value used the rest of this token
    }
  }
}

void Reader::definition(std::string_view text, int line) {
  const std::size_t n = nameLength(text);
  const std::string name(text.substr(0, n));
  std::string_view rest = trim(text.substr(n));
  rest.remove_prefix(1);  // the colon
  if (toneSets.count(name) != 0 || blocks.count(name) != 0) {
    fail(line, "'" + name + "' is al eerder gedefinieerd.", "'" + name + "' was defined before.");
  }
  toneSets[name] = ToneSetDef{words(rest), line};
}

Waveform waveformOf(std::string_view word) {
  if (word == "square") return Waveform::square;
  if (word == "triangle") return Waveform::triangle;
  if (word == "sawtooth") return Waveform::sawtooth;
  return Waveform::sine;
}

const char* waveformWord(Waveform w) {
  switch (w) {
    case Waveform::square: return "square";
    case Waveform::triangle: return "triangle";
    case Waveform::sawtooth: return "sawtooth";
    default: return "sine";
  }
}

struct ToneVoice {
  enum class Kind { binaural, plain, isochronic } kind = Kind::binaural;
  double carrier = 0, beat = 0, amp = 0;
  Waveform waveform = Waveform::sine;
};

// "<a>/<amp>": the part before the slash and the amplitude.
std::pair<std::string_view, double> splitAmp(std::string_view spec, int line, const std::string& whole) {
  const std::size_t slash = spec.rfind('/');
  std::optional<double> amp = slash == std::string_view::npos ? std::nullopt : decimal(spec.substr(slash + 1));
  if (!amp) {
    fail(line, "'" + whole + "' is geen geldige toon (amplitude ontbreekt).", "'" + whole + "' is not a valid tone (the amplitude is missing).");
  }
  return {spec.substr(0, slash), *amp};
}

ImportPoint Reader::pointOf(const ToneSetDef& def) {
  const int line = def.line;
  std::vector<ToneVoice> tones;
  ImportPoint p;
  bool noiseTaken = false;
  for (const std::string& whole : def.specs) {
    std::string_view spec = whole;
    if (spec == "-") continue;
    Waveform waveform = waveformOf(defaultWaveform);
    bool custom = false;
    for (bool again = true; again;) {
      again = false;
      for (std::string_view w : {"sine:", "square:", "triangle:", "sawtooth:"}) {
        if (spec.starts_with(w)) {
          waveform = waveformOf(w.substr(0, w.size() - 1));
          spec.remove_prefix(w.size());
          again = true;
        }
      }
      for (std::string_view w : {"wave", "custom"}) {
        const std::size_t colon = spec.find(':');
        if (spec.starts_with(w) && colon == w.size() + 2 && std::isdigit(static_cast<unsigned char>(spec[w.size()])) &&
            std::isdigit(static_cast<unsigned char>(spec[w.size() + 1]))) {
          custom = true;
          spec.remove_prefix(colon + 1);
          again = true;
        }
      }
    }
    if (custom) {
      notes.add("custom-waveform", line, "Een zelf gedefinieerde golfvorm (waveNN/customNN) speelt hier als sinus.",
                "A user-defined waveform (waveNN/customNN) plays as a sine here.");
    }
    auto [body, amp] = splitAmp(spec, line, whole);
    amp *= volumeScale;
    if (body == "pink" || body == "white" || body == "brown") {
      if (noiseTaken) {
        notes.add("second-noise", line, "Een tweede ruis in dezelfde toonset wordt niet meegenomen.",
                  "A second noise in the same tone-set is not taken along.");
        continue;
      }
      noiseTaken = true;
      p.noise = body == "pink" ? ImportNoise::pink : body == "white" ? ImportNoise::white : ImportNoise::brown;
      p.noiseLevel = amp;
      continue;
    }
    if (body == "mix" || body.starts_with("mixspin:") || body.starts_with("mixpulse:") || body.starts_with("mixbeat:") ||
        body.starts_with("mixam:")) {
      notes.add("mix", line, "Een meegemengd geluidsbestand of een effect daarop (mix...) wordt niet meegenomen; kies muziek in de editor.",
                "A mixed-in sound file or an effect on it (mix...) is not taken along; choose music in the editor.");
      continue;
    }
    if (body.starts_with("bell+")) {
      notes.add("bell", line, "Een bel (bell) wordt niet meegenomen.", "A bell is not taken along.");
      continue;
    }
    if (body.starts_with("spin:") || body.starts_with("bspin:") || body.starts_with("wspin:")) {
      notes.add("spin", line, "Draaiende ruis (spin) wordt niet meegenomen.", "Spinning noise (spin) is not taken along.");
      continue;
    }
    ToneVoice tone;
    tone.amp = amp;
    tone.waveform = waveform;
    const std::size_t sign = body.find_first_of("+-@");
    const std::optional<double> carrier = decimal(body.substr(0, sign));
    std::optional<double> beat = sign == std::string_view::npos ? std::optional<double>(0) : decimal(body.substr(sign + 1));
    if (!carrier || !beat) {
      fail(line, "'" + whole + "' is geen geldige toon.", "'" + whole + "' is not a valid tone.");
    }
    tone.carrier = *carrier;
    tone.beat = *beat;
    if (sign == std::string_view::npos) {
      tone.kind = ToneVoice::Kind::plain;
    } else if (body[sign] == '@') {
      tone.kind = ToneVoice::Kind::isochronic;
    }
    tones.push_back(tone);
  }
  if (tones.empty()) return p;
  const ToneVoice& first = tones.front();
  std::size_t used = 1;
  p.toneLevel = first.amp;
  p.carrierHz = first.carrier;
  p.beatHz = first.beat;
  p.waveform = waveformWord(first.waveform);
  if (first.kind == ToneVoice::Kind::plain && tones.size() >= 2 && tones[1].kind == ToneVoice::Kind::plain &&
      tones[1].carrier != first.carrier && std::fabs(tones[1].carrier - first.carrier) <= 40) {
    // Two plain tones a few hertz apart beat in the air: a monaural beat.
    p.mode = ImportToneMode::monaural;
    p.carrierHz = (first.carrier + tones[1].carrier) / 2;
    p.beatHz = std::fabs(tones[1].carrier - first.carrier);
    p.toneLevel = first.amp + tones[1].amp;
    used = 2;
  } else if (first.kind == ToneVoice::Kind::isochronic) {
    p.mode = ImportToneMode::isochronic;
    if (first.waveform != Waveform::sine) {
      notes.add("iso-waveform", line, "De golfvorm van een isochrone toon speelt hier als sinus.",
                "The waveform of an isochronic tone plays as a sine here.");
      p.waveform = "sine";
    }
  } else {
    p.mode = ImportToneMode::binaural;
  }
  if (tones.size() > used) {
    notes.add("second-voice", line, "Alleen de eerste toon van een toonset speelt; verdere tonen worden niet meegenomen.",
              "Only the first tone of a tone-set plays; further tones are not taken along.");
  }
  return p;
}

bool isBuiltInOff(std::string_view name) { return name == "off" || name == "alloff"; }

const ImportPoint& Reader::point(const std::string& name, int line) {
  auto cached = points.find(name);
  if (cached != points.end()) return cached->second;
  auto def = toneSets.find(name);
  if (def == toneSets.end()) {
    if (isBuiltInOff(name)) return points[name];
    fail(line, "Onbekende toonset of blok '" + name + "'.", "Unknown tone-set or block '" + name + "'.");
  }
  return points[name] = pointOf(def->second);
}

bool Reader::silent(const std::string& name) {
  const ImportPoint& p = points.at(name);
  return !(p.toneLevel > 0) && !(p.noiseLevel > 0);
}

struct Event {
  double t = 0;
  std::string name;
  std::string fade;
  bool slide = false;
  int line = 0;
};

ImportResult readScript(std::string_view text, std::string_view fileName) {
  Reader r;
  // Pass 1: lines without comments, definitions, options, blocks.
  std::vector<std::pair<std::string, int>> lines;
  int number = 0;
  std::size_t begin = 0;
  bool anyTimeLine = false;
  std::string openBlock;
  int openBlockLine = 0;
  while (begin <= text.size()) {
    const std::size_t end = text.find('\n', begin);
    std::string_view raw = text.substr(begin, end == std::string_view::npos ? std::string_view::npos : end - begin);
    begin = end == std::string_view::npos ? text.size() + 1 : end + 1;
    ++number;
    if (const std::size_t hash = raw.find('#'); hash != std::string_view::npos) {
      if (raw.substr(hash).starts_with("##")) {
        std::string_view said = trim(raw.substr(hash + 2));
        if (!said.empty()) r.description.emplace_back(said);
      }
      raw = raw.substr(0, hash);
    }
    const std::string_view line = trim(raw);
    if (line.empty()) continue;
    if (!openBlock.empty()) {
      if (line == "}") {
        openBlock.clear();
      } else {
        r.blocks[openBlock].push_back(parseTimeLine(line, number));
      }
      continue;
    }
    if (line.front() == '-') {
      if (anyTimeLine) {
        r.notes.add("late-option", number, "Opties horen boven in het bestand; deze is toch gelezen.",
                    "Options belong at the top of the file; this one was read all the same.");
      }
      r.option(words(line), number);
      continue;
    }
    const std::size_t n = nameLength(line);
    if (n > 0 && trim(line.substr(n)).starts_with(":")) {
      const std::string_view body = trim(trim(line.substr(n)).substr(1));
      if (body == "{") {
        const std::string name(line.substr(0, n));
        if (r.toneSets.count(name) != 0 || r.blocks.count(name) != 0) {
          fail(number, "'" + name + "' is al eerder gedefinieerd.", "'" + name + "' was defined before.");
        }
        openBlock = name;
        openBlockLine = number;
        r.blocks[name];
        continue;
      }
      if (body.empty()) fail(number, "Na de dubbele punt ontbreken de tonen.", "The tones are missing after the colon.");
      r.definition(line, number);
      continue;
    }
    anyTimeLine = true;
    r.timeLines.push_back(parseTimeLine(line, number));
  }
  if (!openBlock.empty()) {
    fail(openBlockLine, "Het blok '" + openBlock + "' wordt niet met } gesloten.", "The block '" + openBlock + "' is not closed with }.");
  }

  // Pass 2: time lines, blocks expanded, on one clock.
  std::vector<Event> events;
  enum class Clock { unknown, now, clock } clockKind = Clock::unknown;
  double lastAbsolute = 0;
  bool haveAbsolute = false;
  double dayOffset = 0;
  double firstClock = 0;
  auto expand = [&](auto& self, const RawTimeLine& tl, double baseS, int depth) -> void {
    double t = baseS + tl.time.offsetS;
    if (depth == 0) {
      if (tl.time.base == TimeSpec::Base::relative) {
        if (!haveAbsolute) {
          fail(tl.line, "Een relatieve tijd (+hh:mm) staat voor elke absolute tijd of NOW.",
               "A relative time (+hh:mm) comes before any absolute time or NOW.");
        }
        t = lastAbsolute + tl.time.offsetS;
      } else {
        const Clock kind = tl.time.base == TimeSpec::Base::now ? Clock::now : Clock::clock;
        if (clockKind != Clock::unknown && clockKind != kind) {
          fail(tl.line, "Kloktijden en NOW staan samen in één bestand; zonder klok is hun volgorde niet te bepalen.",
               "Clock times and NOW stand together in one file; without a clock their order cannot be known.");
        }
        clockKind = kind;
        double absolute = 0;
        if (kind == Clock::clock) {
          if (!haveAbsolute) firstClock = tl.time.clockS;
          absolute = tl.time.clockS + dayOffset;
          // A 24-hour sequence runs past midnight: a time earlier than the last is the next day.
          if (haveAbsolute && absolute < lastAbsolute) {
            dayOffset += kDaySeconds;
            absolute += kDaySeconds;
          }
        }
        lastAbsolute = absolute;
        haveAbsolute = true;
        t = absolute + tl.time.offsetS;
      }
    } else if (tl.time.base != TimeSpec::Base::relative) {
      fail(tl.line, "In een blok horen alleen relatieve tijden (+hh:mm).", "A block holds relative times (+hh:mm) only.");
    }
    auto block = r.blocks.find(tl.name);
    if (block != r.blocks.end()) {
      if (depth >= kMaxBlockDepth) fail(tl.line, "Blokken roepen elkaar eindeloos aan.", "Blocks call each other without end.");
      if (!tl.fade.empty() || tl.slide) {
        fail(tl.line, "Een blok krijgt geen overgang of -> mee.", "A block takes no fade or -> with it.");
      }
      for (const RawTimeLine& inner : block->second) self(self, inner, t, depth + 1);
      return;
    }
    (void)r.point(tl.name, tl.line);
    if (!events.empty() && t < events.back().t) {
      fail(tl.line, "Deze tijd ligt voor die van de vorige tijdregel; tijdregels staan op volgorde.",
           "This time lies before that of the last time line; time lines stand in order.");
    }
    events.push_back(Event{t, tl.name, tl.fade, tl.slide, tl.line});
  };
  for (const RawTimeLine& tl : r.timeLines) expand(expand, tl, 0, 0);

  if (events.empty()) {
    if (!r.immediate) {
      fail(0, "Het bestand bevat geen tijdregels en geen -i toonset.", "The file holds no time lines and no -i tone-set.");
    }
    r.toneSets["-i"] = *r.immediate;
    (void)r.point("-i", r.immediate->line);
    events.push_back(Event{0, "-i", "", false, r.immediate->line});
  }
  if (clockKind == Clock::clock) {
    const int hours = static_cast<int>(firstClock / 3600);
    const int minutes = static_cast<int>(std::fmod(firstClock, 3600) / 60);
    char when[16];
    std::snprintf(when, sizeof when, "%02d:%02d", hours, minutes);
    r.notes.add("clock-times", 0, std::string("De tijden zijn kloktijden; de sessie begint bij de eerste (") + when + ").",
                std::string("The times are clock times; the session starts at the first (") + when + ").");
  }
  const double start = events.front().t;
  double end = events.back().t;
  if (r.lengthS) {
    end = start + *r.lengthS;
  } else if (!r.silent(events.back().name) && !r.endAtLast) {
    r.notes.add("open-end", events.back().line,
                "De laatste toonset speelt in SBaGen door zonder einde; hier eindigt de sessie op dat tijdstip.",
                "The last tone-set plays on without end in SBaGen; here the session ends at that time.");
  }
  if (!(end > start)) {
    end = start + kDefaultLengthS;
    r.notes.add("no-length", events.back().line, "Het bestand geeft geen lengte; de sessie duurt een uur, zoals in SBaGen.",
                "The file gives no length; the session lasts an hour, as in SBaGen.");
  }

  ImportDraft draft;
  std::string_view stem = fileName;
  if (const std::size_t slash = stem.find_last_of('/'); slash != std::string_view::npos) stem.remove_prefix(slash + 1);
  if (const std::size_t dot = stem.rfind('.'); dot != std::string_view::npos && dot > 0) stem = stem.substr(0, dot);
  draft.title = std::string(stem);
  // A file this program wrote names its title in the first description line.
  constexpr std::string_view kOurs = "Solvera Pro Audio+Light: ";
  if (!r.description.empty() && r.description.front().starts_with(kOurs)) {
    draft.title = r.description.front().substr(kOurs.size());
    draft.absorbGlideIns = true;
    r.description.erase(r.description.begin());
  }
  if (!r.description.empty()) {
    std::string goal;
    for (const std::string& d : r.description) goal += (goal.empty() ? "" : " ") + d;
    draft.goal = goal.substr(0, 900);
  }
  for (std::size_t i = 0; i < events.size(); ++i) {
    const Event& e = events[i];
    const double from = e.t - start;
    const double to = (i + 1 < events.size() ? std::min(events[i + 1].t, end) : end) - start;
    if (from >= end - start) break;
    ImportSegment s;
    s.startS = from;
    s.endS = to;
    s.from = r.points.at(e.name);
    s.to = s.from;
    s.name = e.name == "-i" ? std::string() : e.name;
    s.line = e.line;
    if (e.slide && i + 1 < events.size()) {
      const ImportPoint& next = r.points.at(events[i + 1].name);
      const double length = events[i + 1].t - e.t;
      const double k = length > 0 ? (to - from) / length : 1;
      // A slide runs to the next tone-set's values; cut short when the session ends first.
      const ImportPoint target = next.mode == ImportToneMode::none ? s.from : next;
      s.to.beatHz = s.from.beatHz + (target.beatHz - s.from.beatHz) * k;
      s.to.carrierHz = s.from.carrierHz + (target.carrierHz - s.from.carrierHz) * k;
      s.to.toneLevel = next.toneLevel;
      s.to.noiseLevel = next.noiseLevel;
      const bool bothSlide = e.fade.size() == 2 && e.fade[1] == '=' && events[i + 1].fade.size() == 2 &&
                             events[i + 1].fade[0] == '=';
      if (!bothSlide && s.from.mode != ImportToneMode::none && next.mode != ImportToneMode::none &&
          (s.from.carrierHz != next.carrierHz || s.from.beatHz != next.beatHz)) {
        r.notes.add("crossfade", e.line,
                    "SBaGen laat hier de ene toon uitvloeien en de andere invloeien (geen == aan beide kanten); "
                    "hier glijdt de frequentie van de ene naar de andere.",
                    "SBaGen fades one tone out and the other in here (no == on both sides); here the frequency "
                    "glides from one to the other.");
      }
    }
    if (e.fade.size() == 2 && ((e.fade[0] == '<' && i > 0) || (e.fade[1] == '>' && i + 1 < events.size() &&
                                                               !r.silent(events[i + 1].name)))) {
      r.notes.add("fade-silence", e.line,
                  "Een overgang via stilte (< of >) tussen twee toonsets wordt hier een glijdende overgang.",
                  "A fade through silence (< or >) between two tone-sets becomes a glide here.");
    }
    draft.segments.push_back(std::move(s));
  }
  return buildImportedSession(std::move(draft), r.notes);
}

}  // namespace

ImportResult readSbg(std::string_view text, std::string_view fileName) {
  constexpr std::string_view kBom = "\xEF\xBB\xBF";
  if (text.starts_with(kBom)) text.remove_prefix(kBom.size());
  try {
    return readScript(text, fileName);
  } catch (const Failure& failure) {
    ImportResult result;
    result.failure = failure.failure;
    return result;
  }
}

}  // namespace solvera::session
