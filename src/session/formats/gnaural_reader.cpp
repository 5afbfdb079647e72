// Reading Gnaural schedules with GLib's XML parser (GMarkup): the document into plain records
// first, then the voices into one timeline of tone and noise.
#include <glib.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "session/formats/gnaural_format.hpp"

namespace solvera::session {
namespace {

// Gnaural's voice types.
enum VoiceType : int {
  kBinauralBeat = 0,
  kPinkNoise = 1,
  kAudioFile = 2,
  kIsochronic = 3,
  kAlternatingIsochronic = 4,
  kWaterDrops = 5,
  kRain = 6,
};

struct Entry {
  double duration = 0, volumeLeft = 0, volumeRight = 0, beat = 0, base = 0;
  int line = 0;
};

struct Voice {
  std::string description;
  int type = kBinauralBeat;
  bool muted = false;
  bool mono = false;
  std::vector<Entry> entries;
  int line = 0;
  double length() const {
    double total = 0;
    for (const Entry& e : entries) total += e.duration;
    return total;
  }
};

struct Schedule {
  bool sawRoot = false;
  std::string title, description, author;
  double overallLeft = 1, overallRight = 1;
  long loops = 1;
  bool stereoSwap = false;
  std::vector<Voice> voices;
};

struct ParseState {
  std::string_view text;  // the whole document
  std::vector<std::size_t> lineStarts;
  Schedule schedule;
  std::vector<std::string> stack;
  std::string content;
  int contentLine = 0;
  ImportFailure failure;
  bool failed = false;
};

void setFailure(ParseState& state, GError** error, int line, std::string nl, std::string en) {
  if (!state.failed) {
    state.failed = true;
    state.failure = ImportFailure{line, std::move(nl), std::move(en)};
  }
  g_set_error_literal(error, G_MARKUP_ERROR, G_MARKUP_ERROR_INVALID_CONTENT, "import");
}

bool number(std::string_view text, double& out) {
  while (!text.empty() && g_ascii_isspace(text.front())) text.remove_prefix(1);
  while (!text.empty() && g_ascii_isspace(text.back())) text.remove_suffix(1);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  double value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty() || !std::isfinite(value)) return false;
  out = value;
  return true;
}

int lineOf(GMarkupParseContext* context) {
  gint line = 0;
  gint column = 0;
  g_markup_parse_context_get_position(context, &line, &column);
  return line;
}

// The line an element's tag starts on: the parser reports where it stands, which can already
// be past the tag's end (on the next line).
int tagLine(const ParseState& state, GMarkupParseContext* context, std::string_view element) {
  const int reported = lineOf(context);
  if (reported < 1 || static_cast<std::size_t>(reported) > state.lineStarts.size()) return reported;
  const std::size_t lineEnd = static_cast<std::size_t>(reported) < state.lineStarts.size()
                                  ? state.lineStarts[static_cast<std::size_t>(reported)]
                                  : state.text.size();
  const std::size_t tag = state.text.substr(0, lineEnd).rfind("<" + std::string(element));
  if (tag == std::string_view::npos) return reported;
  const auto before = std::upper_bound(state.lineStarts.begin(), state.lineStarts.end(), tag);
  return static_cast<int>(before - state.lineStarts.begin());
}

void startElement(GMarkupParseContext* context, const gchar* name, const gchar** names, const gchar** values,
                  gpointer data, GError** error) {
  auto& state = *static_cast<ParseState*>(data);
  const std::string element = name;
  const int line = tagLine(state, context, element);
  if (state.stack.empty()) {
    if (element != "schedule") {
      setFailure(state, error, line, "Dit is geen Gnaural-schema (het hoofdelement is <" + element + ">, geen <schedule>).",
                 "This is no Gnaural schedule (the root element is <" + element + ">, not <schedule>).");
      return;
    }
    state.schedule.sawRoot = true;
  }
  if (element == "voice" && state.stack.size() == 1) {
    state.schedule.voices.emplace_back();
    state.schedule.voices.back().line = line;
  }
  if (element == "entry") {
    if (state.schedule.voices.empty() || state.stack.empty() || state.stack.back() != "entries") {
      setFailure(state, error, line, "Een <entry> staat buiten de <entries> van een <voice>.",
                 "An <entry> stands outside the <entries> of a <voice>.");
      return;
    }
    Entry entry;
    entry.line = line;
    struct Field {
      const char* name;
      double* target;
      bool seen = false;
    };
    Field fields[] = {{"duration", &entry.duration},
                      {"volume_left", &entry.volumeLeft},
                      {"volume_right", &entry.volumeRight},
                      {"beatfreq", &entry.beat},
                      {"basefreq", &entry.base}};
    for (std::size_t i = 0; names[i] != nullptr; ++i) {
      for (Field& field : fields) {
        if (std::string_view(names[i]) != field.name) continue;
        if (!number(values[i], *field.target)) {
          setFailure(state, error, line, std::string("Het attribuut ") + field.name + "=\"" + values[i] + "\" is geen getal.",
                     std::string("The attribute ") + field.name + "=\"" + values[i] + "\" is not a number.");
          return;
        }
        field.seen = true;
      }
    }
    for (const Field& field : fields) {
      if (!field.seen) {
        setFailure(state, error, line, std::string("Aan deze <entry> ontbreekt het attribuut ") + field.name + ".",
                   std::string("This <entry> lacks the attribute ") + field.name + ".");
        return;
      }
    }
    if (entry.duration < 0) {
      setFailure(state, error, line, "Een <entry> heeft een negatieve duur.", "An <entry> has a negative duration.");
      return;
    }
    state.schedule.voices.back().entries.push_back(entry);
  }
  state.stack.push_back(element);
  state.content.clear();
  state.contentLine = line;
}

void endElement(GMarkupParseContext* context, const gchar* name, gpointer data, GError** error) {
  auto& state = *static_cast<ParseState*>(data);
  const std::string element = name;
  const std::string text = state.content;
  state.content.clear();
  const std::size_t depth = state.stack.size();
  state.stack.pop_back();
  const int line = state.contentLine > 0 ? state.contentLine : lineOf(context);
  Schedule& s = state.schedule;
  auto numeric = [&](double& out) {
    if (!number(text, out)) {
      setFailure(state, error, line, "<" + element + "> bevat geen getal.", "<" + element + "> holds no number.");
      return false;
    }
    return true;
  };
  double value = 0;
  if (depth == 2) {  // schedule fields
    if (element == "title") s.title = text;
    else if (element == "schedule_description") s.description = text;
    else if (element == "author") s.author = text;
    else if (element == "loops" && numeric(value)) s.loops = std::lround(value);
    else if (element == "overallvolume_left" && numeric(value)) s.overallLeft = value;
    else if (element == "overallvolume_right" && numeric(value)) s.overallRight = value;
    else if (element == "stereoswap" && numeric(value)) s.stereoSwap = value != 0;
  } else if (depth == 3 && state.stack.size() == 2 && state.stack.back() == "voice" && !s.voices.empty()) {
    Voice& v = s.voices.back();
    if (element == "description") v.description = text;
    else if (element == "type" && numeric(value)) v.type = static_cast<int>(std::lround(value));
    else if (element == "voice_mute" && numeric(value)) v.muted = value != 0;
    else if (element == "voice_mono" && numeric(value)) v.mono = value != 0;
  }
}

void textOf(GMarkupParseContext*, const gchar* text, gsize length, gpointer data, GError**) {
  static_cast<ParseState*>(data)->content.append(text, length);
}

// A voice's values at time t (within one pass): each entry glides to the next, the last to
// the first. `before` takes the value just before t (where an entry ends), else just after.
struct VoiceValue {
  double beat = 0, base = 0, level = 0, left = 0, right = 0;
  int line = 0;  // of the entry
};

VoiceValue valueAt(const Voice& voice, double t, bool before) {
  const std::vector<Entry>& e = voice.entries;
  double at = 0;
  for (std::size_t k = 0; k < e.size(); ++k) {
    const double end = at + e[k].duration;
    const bool inside = e[k].duration > 0 && (before ? (t > at && t <= end) : (t >= at && t < end));
    if (inside) {
      const Entry& a = e[k];
      const Entry& b = e[(k + 1) % e.size()];
      const double f = (t - at) / e[k].duration;
      auto mix = [f](double x, double y) { return x + (y - x) * f; };
      VoiceValue v;
      v.beat = mix(a.beat, b.beat);
      v.base = mix(a.base, b.base);
      v.left = mix(a.volumeLeft, b.volumeLeft);
      v.right = mix(a.volumeRight, b.volumeRight);
      v.level = (v.left + v.right) / 2;
      v.line = a.line;
      return v;
    }
    at = end;
  }
  return {};
}

ImportResult readDocument(std::string_view text, std::string_view fileName) {
  ParseState state;
  state.text = text;
  state.lineStarts.push_back(0);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') state.lineStarts.push_back(i + 1);
  }
  GMarkupParser parser{};
  parser.start_element = startElement;
  parser.end_element = endElement;
  parser.text = textOf;
  GMarkupParseContext* context = g_markup_parse_context_new(&parser, G_MARKUP_TREAT_CDATA_AS_TEXT, &state, nullptr);
  GError* error = nullptr;
  const bool parsed = g_markup_parse_context_parse(context, text.data(), static_cast<gssize>(text.size()), &error) != 0 &&
                      g_markup_parse_context_end_parse(context, &error) != 0;
  ImportResult result;
  if (!parsed) {
    if (state.failed) {
      result.failure = state.failure;
    } else {
      const int line = lineOf(context);
      std::string nl = "Het XML-bestand is niet goed gevormd.";
      std::string en = "The XML file is not well-formed.";
      if (error != nullptr && error->domain == G_MARKUP_ERROR) {
        if (error->code == G_MARKUP_ERROR_BAD_UTF8) {
          nl = "Het bestand is geen geldige UTF-8-tekst.";
          en = "The file is not valid UTF-8 text.";
        } else if (error->code == G_MARKUP_ERROR_EMPTY) {
          nl = "Het bestand is leeg.";
          en = "The file is empty.";
        }
      }
      const bool empty = error != nullptr && error->domain == G_MARKUP_ERROR && error->code == G_MARKUP_ERROR_EMPTY;
      result.failure = ImportFailure{empty ? 0 : line, nl, en};
    }
  }
  if (error != nullptr) g_error_free(error);
  g_markup_parse_context_free(context);
  if (!parsed) return result;

  const Schedule& s = state.schedule;
  ImportNotes notes;
  const Voice* tone = nullptr;
  const Voice* noise = nullptr;
  for (const Voice& v : s.voices) {
    const int line = v.line;
    if (v.muted) {
      notes.add("muted", line, "Een gedempte stem speelt ook hier niet.", "A muted voice does not play here either.");
      continue;
    }
    if (v.entries.empty()) continue;
    switch (v.type) {
      case kBinauralBeat:
      case kIsochronic:
        if (tone == nullptr) {
          tone = &v;
        } else {
          notes.add("second-voice", line, "Alleen de eerste toonstem speelt; verdere stemmen worden niet meegenomen.",
                    "Only the first tone voice plays; further voices are not taken along.");
        }
        break;
      case kPinkNoise:
        if (noise == nullptr) {
          noise = &v;
        } else {
          notes.add("second-noise", line, "Een tweede ruisstem wordt niet meegenomen.", "A second noise voice is not taken along.");
        }
        break;
      case kAudioFile:
        notes.add("audio-file", line, "Een stem met een geluidsbestand wordt niet meegenomen; kies muziek in de editor.",
                  "A voice with a sound file is not taken along; choose music in the editor.");
        break;
      case kAlternatingIsochronic:
        notes.add("alternating-isochronic", line, "Afwisselende isochrone pulsen (links/rechts) worden niet meegenomen.",
                  "Alternating isochronic pulses (left/right) are not taken along.");
        break;
      case kWaterDrops:
        notes.add("water-drops", line, "Waterdruppels worden niet meegenomen.", "Water drops are not taken along.");
        break;
      case kRain:
        notes.add("rain", line, "Regen wordt niet meegenomen.", "Rain is not taken along.");
        break;
      default:
        notes.add("unknown-voice", line, "Een stem van een onbekende soort (" + std::to_string(v.type) + ") wordt niet meegenomen.",
                  "A voice of an unknown kind (" + std::to_string(v.type) + ") is not taken along.");
        break;
    }
  }
  if (tone == nullptr && noise == nullptr) {
    result.failure = ImportFailure{0, "Het schema bevat geen binaurale, isochrone of ruisstem met stukken.",
                                   "The schedule holds no binaural, isochronic or noise voice with entries."};
    result.notices = notes.take();
    return result;
  }
  for (const Voice* v : {tone, noise}) {
    if (v == nullptr) continue;
    if (v->mono) {
      notes.add("mono", v->line, "Een stem die Gnaural mono mengt, speelt hier gewoon stereo.",
                "A voice Gnaural mixes to mono plays in stereo here.");
    }
    for (const Entry& e : v->entries) {
      if (std::fabs(e.volumeLeft - e.volumeRight) > 0.01) {
        notes.add("balance", e.line, "Links en rechts verschillend volume wordt hier het gemiddelde van beide.",
                  "Different left and right volumes become the mean of both here.");
      }
    }
  }
  if (s.stereoSwap) {
    notes.add("stereo-swap", 0, "Het verwisselen van links en rechts (stereoswap) wordt niet meegenomen.",
              "Swapping left and right (stereoswap) is not taken along.");
  }
  if (std::fabs(s.overallLeft - s.overallRight) > 0.01) {
    notes.add("balance", 0, "Links en rechts verschillend volume wordt hier het gemiddelde van beide.",
              "Different left and right volumes become the mean of both here.");
  }
  const double overall = (s.overallLeft + s.overallRight) / 2;
  const double pass = tone != nullptr ? tone->length() : noise->length();
  long loops = s.loops;
  if (loops <= 0) {
    notes.add("endless", 0, "Het schema herhaalt in Gnaural eindeloos; hier speelt het één keer.",
              "The schedule repeats without end in Gnaural; here it plays once.");
    loops = 1;
  }
  if (pass > 0) loops = std::min<long>(loops, static_cast<long>(std::ceil(36000 / pass)) + 1);

  // Every point where either voice starts an entry, over every pass.
  std::set<double> cuts;
  for (const Voice* v : {tone, noise}) {
    if (v == nullptr) continue;
    for (long k = 0; k < loops; ++k) {
      double at = static_cast<double>(k) * pass;
      for (const Entry& e : v->entries) {
        if (at < static_cast<double>(loops) * pass) cuts.insert(at);
        at += e.duration;
      }
    }
  }
  cuts.insert(static_cast<double>(loops) * pass);
  auto sample = [&](const Voice* v, double t, bool before) -> VoiceValue {
    if (v == nullptr || pass <= 0) return {};
    double within = std::fmod(t, pass);
    // The end of a pass is the end of its last entry, not the start of the next pass.
    if (before && within == 0 && t > 0) within = pass;
    if (within > v->length() || (!before && within >= v->length())) return {};
    return valueAt(*v, within, before);
  };
  int line = tone != nullptr ? tone->line : noise->line;
  auto pointAt = [&](double t, bool before) {
    ImportPoint p;
    if (tone != nullptr) {
      const VoiceValue v = sample(tone, t, before);
      if (!before && v.line > 0) line = v.line;
      p.mode = tone->type == kIsochronic ? ImportToneMode::isochronic : ImportToneMode::binaural;
      p.carrierHz = v.base;
      p.beatHz = std::fabs(v.beat);
      p.toneLevel = v.level * overall * 100;
    }
    if (noise != nullptr) {
      p.noise = ImportNoise::pink;
      p.noiseLevel = sample(noise, t, before).level * overall * 100;
    }
    return p;
  };
  ImportDraft draft;
  draft.title = s.title;
  if (draft.title.empty()) {
    std::string_view stem = fileName;
    if (const std::size_t slash = stem.find_last_of('/'); slash != std::string_view::npos) stem.remove_prefix(slash + 1);
    if (const std::size_t dot = stem.rfind('.'); dot != std::string_view::npos && dot > 0) stem = stem.substr(0, dot);
    draft.title = std::string(stem);
  }
  std::string goal = s.description;
  if (!s.author.empty()) goal += (goal.empty() ? "" : " ") + std::string("(") + s.author + ")";
  if (!goal.empty()) draft.goal = goal.substr(0, 900);
  for (auto it = cuts.begin(); it != cuts.end() && std::next(it) != cuts.end(); ++it) {
    ImportSegment segment;
    segment.startS = *it;
    segment.endS = *std::next(it);
    segment.from = pointAt(segment.startS, false);
    segment.to = pointAt(segment.endS, true);
    segment.line = line;
    draft.segments.push_back(std::move(segment));
  }
  return buildImportedSession(std::move(draft), notes);
}

}  // namespace

ImportResult readGnaural(std::string_view text, std::string_view fileName) { return readDocument(text, fileName); }

}  // namespace solvera::session
