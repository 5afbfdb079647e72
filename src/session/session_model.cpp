// Reading sessions with the page's checks and limits, and writing them as the page does.
#include "session/session_model.hpp"

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <limits>
#include <map>
#include <utility>

#include "audio/audio_limits.hpp"
#include "dmx/dmx_request.hpp"
#include "session/js_values.hpp"
#include "session/timeline.hpp"

namespace solvera::session {
namespace {

constexpr std::size_t kSessionFileMaxBytes = 1'000'000;
constexpr double kUnbounded = std::numeric_limits<double>::max();
// Any finite frequency that is not negative; the tone generator's table comes after.
constexpr ValueRange kAnyFrequency{0, kUnbounded};

// Refusal inside the check; turned into a SessionProblem at its end.
struct Refused {
  SessionProblem problem;
};

[[noreturn]] void refuse(std::string reason, int phase = 0, std::string field = {}) {
  SessionProblem problem;
  problem.reason = std::move(reason);
  problem.phase = phase;
  problem.field = std::move(field);
  throw Refused{problem};
}

const std::map<std::string, std::string, std::less<>>& fieldNames() {
  static const std::map<std::string, std::string, std::less<>> names{
      {"audioFrequencyHz", "toonfrequentie"}, {"lightFrequencyHz", "lichtfrequentie"},
      {"carrierFrequencyHz", "draaggolf"},    {"colorHex", "kleur"},
      {"rgb", "RGB-kleur"},                   {"rgbIntensity", "RGB-intensiteit"},
      {"whiteIntensity", "wit-intensiteit"},  {"pulseVolume", "toonvolume"},
      {"musicVolume", "muziekvolume"},        {"noiseVolume", "ruisvolume"},
      {"reverbMix", "galm"}};
  return names;
}

// A text member, trimmed (session) or not (phase), cut to its limit; absent unless a string.
std::optional<std::string> text(const Json& raw, std::string_view key, std::size_t limit, bool trim) {
  const Json* value = memberOf(raw, key);
  if (value == nullptr || !value->is_string()) return std::nullopt;
  std::string_view s = value->get_ref<const std::string&>();
  return jsSlice(trim ? jsTrim(s) : s, limit);
}

bool absentOrNull(const Json* value) { return value == nullptr || value->is_null(); }

// A frequency member: a text or number whose every end lies in [lo, hi]; kept as text.
std::optional<std::string> checkFrequency(const Json& raw, std::string_view key, ValueRange range,
                                          int index, bool required) {
  const Json* value = memberOf(raw, key);
  if (absentOrNull(value) || (value->is_string() && value->get_ref<const std::string&>().empty())) {
    if (required) refuse("values", index + 1, std::string(key));
    return std::nullopt;
  }
  std::optional<FrequencySpan> f;
  if (value->is_number()) f = frequencyOfNumber(value->get<double>());
  else if (value->is_string()) f = parseFrequency(value->get_ref<const std::string&>());
  if (!f || !range.contains(f->from) || !range.contains(f->to)) refuse("values", index + 1, std::string(key));
  if (value->is_number()) return jsNumberText(value->get<double>());
  return std::string(jsTrim(value->get_ref<const std::string&>()));
}

SessionPhase cleanPhase(const Json& raw, int index) {
  if (!raw.is_object()) refuse("phases", index + 1);
  SessionPhase phase;
  phase.name = text(raw, "name", 120, false);
  phase.nameEn = text(raw, "nameEn", 120, false);
  phase.purpose = text(raw, "purpose", 400, false);
  phase.purposeEn = text(raw, "purposeEn", 400, false);
  phase.start = text(raw, "start", 16, false);
  phase.end = text(raw, "end", 16, false);
  phase.colorHex = text(raw, "colorHex", 16, false);
  phase.musicMood = text(raw, "musicMood", 80, false);
  phase.pulseShape = text(raw, "pulseShape", 40, false);
  phase.audioPulseShape = text(raw, "audioPulseShape", 40, false);
  phase.noiseType = text(raw, "noiseType", 40, false);
  phase.reverbPreset = text(raw, "reverbPreset", 60, false);
  // Frequencies may come as numbers from other tools; they are kept as the text the timeline reads.
  // What the tone generator plays is checked on the whole timeline, against its own table.
  phase.audioFrequencyHz = *checkFrequency(raw, "audioFrequencyHz", kAnyFrequency, index, true);
  phase.lightFrequencyHz =
      checkFrequency(raw, "lightFrequencyHz", ValueRange{0, dmx::kMaxPulseHz}, index, false);
  phase.carrierFrequencyHz = checkFrequency(raw, "carrierFrequencyHz", kAnyFrequency, index, false);
  if (phase.colorHex && !hexToRgb(*phase.colorHex)) refuse("values", index + 1, "colorHex");
  if (const Json* rgb = memberOf(raw, "rgb")) {
    const bool valid = rgb->is_object() && numberIn(memberOf(*rgb, "r"), 0, 255) &&
                       numberIn(memberOf(*rgb, "g"), 0, 255) && numberIn(memberOf(*rgb, "b"), 0, 255);
    if (!valid) refuse("values", index + 1, "rgb");
    phase.rgb = PhaseRgb{(*rgb)["r"].get<double>(), (*rgb)["g"].get<double>(), (*rgb)["b"].get<double>()};
  }
  const std::pair<const char*, std::optional<double> SessionPhase::*> levels[] = {
      {"rgbIntensity", &SessionPhase::rgbIntensity}, {"whiteIntensity", &SessionPhase::whiteIntensity},
      {"pulseVolume", &SessionPhase::pulseVolume},   {"musicVolume", &SessionPhase::musicVolume},
      {"noiseVolume", &SessionPhase::noiseVolume},   {"reverbMix", &SessionPhase::reverbMix}};
  for (const auto& [key, member] : levels) {
    const Json* value = memberOf(raw, key);
    if (absentOrNull(value)) continue;
    if (!numberIn(value, 0, 100)) refuse("values", index + 1, key);
    phase.*member = value->get<double>();
  }
  for (auto [key, member] : {std::pair{"halcyonMode", &SessionPhase::halcyonMode},
                             std::pair{"ganzfeldMode", &SessionPhase::ganzfeldMode}}) {
    const Json* value = memberOf(raw, key);
    if (value != nullptr && value->is_boolean()) phase.*member = value->get<bool>();
  }
  if ((!phase.name || phase.name->empty()) && (!phase.nameEn || phase.nameEn->empty())) {
    phase.name = "Fase " + std::to_string(index + 1);
  }
  return phase;
}

// Lower case, accents dropped, anything but a-z and 0-9 a single "-", at most 60 characters.
std::string slug(const std::string& title) {
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString lower = icu::UnicodeString::fromUTF8(title);
  lower.toLower(icu::Locale::getRoot());
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  icu::UnicodeString decomposed = U_SUCCESS(status) ? nfd->normalize(lower, status) : lower;
  if (U_FAILURE(status)) decomposed = lower;
  std::string out;
  bool dash = false;
  for (int32_t i = 0; i < decomposed.length();) {
    const UChar32 c = decomposed.char32At(i);
    i += U16_LENGTH(c);
    if (c >= 0x300 && c <= 0x36F) continue;
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
      if (dash && !out.empty()) out += '-';
      dash = false;
      out += static_cast<char>(c);
    } else {
      dash = true;
    }
  }
  return out.substr(0, 60);
}

bool validId(const std::string& id) {
  if (id.empty() || id.size() > 80) return false;
  return std::all_of(id.begin(), id.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
  });
}

std::optional<std::vector<std::string>> wordList(const Json& raw, std::string_view key) {
  const Json* value = memberOf(raw, key);
  if (value == nullptr || !value->is_array()) return std::nullopt;
  std::vector<std::string> words;
  for (const Json& item : *value) {
    if (!item.is_string()) continue;
    if (words.size() == 20) break;
    words.push_back(jsSlice(item.get_ref<const std::string&>(), 80));
  }
  return words;
}

Session cleanSession(const Json& raw) {
  if (!raw.is_object()) refuse("format");
  Session session;
  std::optional<std::string> title = text(raw, "title", 160, true);
  session.titleEn = text(raw, "titleEn", 160, true);
  session.goal = text(raw, "goal", 900, true);
  session.goalEn = text(raw, "goalEn", 900, true);
  session.category = text(raw, "category", 120, true);
  session.categoryEn = text(raw, "categoryEn", 120, true);
  session.categoryPurpose = text(raw, "categoryPurpose", 600, true);
  session.subcategory = text(raw, "subcategory", 120, true);
  session.subcategoryEn = text(raw, "subcategoryEn", 120, true);
  session.structure = text(raw, "structure", 40, true);
  session.musicMood = text(raw, "musicMood", 80, true);
  session.audioMode = text(raw, "audioMode", 80, true);
  const bool hasTitle = title && !title->empty();
  if (!hasTitle && !(session.titleEn && !session.titleEn->empty())) refuse("title");
  session.title = hasTitle ? *title : *session.titleEn;
  const Json* id = memberOf(raw, "id");
  if (id != nullptr && id->is_string() && validId(id->get<std::string>())) {
    session.id = id->get<std::string>();
  } else {
    session.id = slug(session.title);
    if (session.id.empty()) session.id = "sessie";
  }
  const Json* phases = memberOf(raw, "phases");
  if (phases == nullptr || !phases->is_array() || phases->empty() || phases->size() > kMaxPhases) refuse("phases");
  for (std::size_t i = 0; i < phases->size(); ++i) session.phases.push_back(cleanPhase((*phases)[i], static_cast<int>(i)));
  if (const Json* minutes = memberOf(raw, "durationMinutes"); !absentOrNull(minutes)) {
    const double value = jsNumber(minutes);
    if (!(std::isfinite(value) && value >= 0.1 && value <= kMaxSessionMinutes)) refuse("duration");
    session.durationMinutes = value;
  }
  if (const Json* carrier = memberOf(raw, "carrierFrequencyHz"); !absentOrNull(carrier)) {
    const double value = jsNumber(carrier);
    if (!(std::isfinite(value) && kAnyFrequency.contains(value))) refuse("values", 0, "carrierFrequencyHz");
    session.carrierFrequencyHz = value;
  }
  session.topics = wordList(raw, "topics");
  session.concepts = wordList(raw, "concepts");
  const Timeline timeline = buildTimeline(session);
  if (!(timeline.durationS > 0) || timeline.durationS > kMaxSessionMinutes * 60) refuse("duration");
  if (std::optional<SessionProblem> outside = soundOutsideLimits(timeline)) throw Refused{*outside};
  // The duration the player will actually use, so lists and timers agree with it.
  session.durationMinutes = jsRound(timeline.durationS / 60 * 100) / 100;
  const Json* range = memberOf(raw, "frequencyRangeHz");
  if (range != nullptr && range->is_array() && range->size() == 2 && numberIn(&(*range)[0], 0, kUnbounded) &&
      numberIn(&(*range)[1], 0, kUnbounded)) {
    session.frequencyRangeHz = std::array<double, 2>{(*range)[0].get<double>(), (*range)[1].get<double>()};
  } else {
    double lo = timeline.phases.front().start.beatHz;
    double hi = lo;
    for (const TimelinePhase& p : timeline.phases) {
      lo = std::min({lo, p.start.beatHz, p.end.beatHz});
      hi = std::max({hi, p.start.beatHz, p.end.beatHz});
    }
    session.frequencyRangeHz = std::array<double, 2>{lo, hi};
  }
  if (!session.category || session.category->empty()) {
    session.category = kCustomCategory;
    session.categoryEn = kCustomCategoryEn;
  }
  return session;
}


void put(OrderedJson& out, const char* key, const std::optional<std::string>& value) {
  if (value) out[key] = *value;
}

void put(OrderedJson& out, const char* key, const std::optional<double>& value) {
  if (value) out[key] = jsonNumber(*value);
}

std::string isoTime(double wallMs) {
  const auto ms = static_cast<long long>(std::floor(wallMs));
  std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03lldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, ms % 1000);
  return buffer;
}

SessionCheck refusal(std::string reason) {
  SessionProblem problem;
  problem.reason = std::move(reason);
  return SessionCheck{std::nullopt, problem};
}

}  // namespace

std::optional<SessionProblem> soundOutsideLimits(const Timeline& timeline) {
  for (std::size_t i = 0; i < timeline.phases.size(); ++i) {
    const TimelinePhase& phase = timeline.phases[i];
    const std::pair<const char*, ValueRange> checks[] = {{"beat", kBeatRangeHz}, {"carrier", kCarrierRangeHz}};
    for (const auto& [field, range] : checks) {
      const bool beat = std::string_view(field) == "beat";
      for (double value : {beat ? phase.start.beatHz : phase.start.carrierHz, beat ? phase.end.beatHz : phase.end.carrierHz}) {
        if (!(value >= range.min && value <= range.max)) {
          return SessionProblem{"limits", static_cast<int>(i) + 1, field, value, range.min, range.max};
        }
      }
    }
  }
  return std::nullopt;
}

std::string SessionProblem::message() const {
  if (reason == "limits") {
    return "Fase " + std::to_string(phase) + " vraagt een " + (field == "beat" ? "toon" : "draaggolf") + " van " +
           jsNumberText(value) + " Hz; de toongenerator speelt " + jsNumberText(min) + " tot " + jsNumberText(max) + " Hz.";
  }
  if (reason == "values") {
    auto it = fieldNames().find(field);
    const std::string name = it != fieldNames().end() ? it->second : field;
    if (phase > 0) return "Fase " + std::to_string(phase) + ": " + name + " ontbreekt of ligt buiten het veilige bereik.";
    return name + " ligt buiten het veilige bereik.";
  }
  static const std::map<std::string, std::string, std::less<>> texts{
      {"empty", "Het bestand is leeg."},
      {"size", "Het bestand is groter dan 1 MB."},
      {"json", "Dit is geen sessiebestand (geen geldige JSON)."},
      {"format", "Dit bestand bevat geen Solvera-sessie."},
      {"title", "De sessie in dit bestand heeft geen titel."},
      {"phases", "De sessie in dit bestand heeft geen bruikbare fasen (1 tot 64)."},
      {"duration", "De duur van de sessie is ongeldig (hoogstens 10 uur)."},
      {"missing", "Deze sessie bestaat niet (meer)."}};
  auto it = texts.find(reason);
  return it != texts.end() ? it->second : "Importeren mislukt (" + reason + ").";
}

Error SessionProblem::error() const { return Error{kSessionErrorDomain, 400, message()}; }

SessionCheck checkSession(const Json& raw) {
  try {
    return SessionCheck{cleanSession(raw), SessionProblem{}};
  } catch (const Refused& refused) {
    return SessionCheck{std::nullopt, refused.problem};
  } catch (const ErrorException&) {
    return refusal("phases");
  }
}

SessionCheck parseSessionFile(std::string_view text) {
  if (jsTrim(text).empty()) return refusal("empty");
  if (text.size() > kSessionFileMaxBytes) return refusal("size");
  constexpr std::string_view kBom = "\xEF\xBB\xBF";
  if (text.starts_with(kBom)) text.remove_prefix(kBom.size());
  std::optional<Json> doc = parseJson(text);
  if (!doc) return refusal("json");
  if (doc->is_object()) {
    const Json* format = memberOf(*doc, "format");
    if (format != nullptr && format->is_string() && *format == kSessionFileFormat) {
      const Json* inner = memberOf(*doc, "session");
      return checkSession(inner != nullptr ? *inner : Json());
    }
    const Json* phases = memberOf(*doc, "phases");
    if (phases != nullptr && phases->is_array()) return checkSession(*doc);
  }
  return refusal("format");
}

OrderedJson sessionToJson(const Session& s) {
  OrderedJson out = OrderedJson::object();
  out["id"] = s.id;
  out["title"] = s.title;
  put(out, "titleEn", s.titleEn);
  put(out, "goal", s.goal);
  put(out, "goalEn", s.goalEn);
  put(out, "category", s.category);
  put(out, "categoryEn", s.categoryEn);
  put(out, "categoryPurpose", s.categoryPurpose);
  put(out, "subcategory", s.subcategory);
  put(out, "subcategoryEn", s.subcategoryEn);
  put(out, "durationMinutes", s.durationMinutes);
  put(out, "structure", s.structure);
  put(out, "musicMood", s.musicMood);
  put(out, "audioMode", s.audioMode);
  put(out, "carrierFrequencyHz", s.carrierFrequencyHz);
  if (s.topics) out["topics"] = *s.topics;
  if (s.concepts) out["concepts"] = *s.concepts;
  if (s.frequencyRangeHz) out["frequencyRangeHz"] = {jsonNumber((*s.frequencyRangeHz)[0]), jsonNumber((*s.frequencyRangeHz)[1])};
  OrderedJson phases = OrderedJson::array();
  for (const SessionPhase& p : s.phases) {
    OrderedJson q = OrderedJson::object();
    put(q, "name", p.name);
    put(q, "nameEn", p.nameEn);
    put(q, "purpose", p.purpose);
    put(q, "purposeEn", p.purposeEn);
    put(q, "start", p.start);
    put(q, "end", p.end);
    q["audioFrequencyHz"] = p.audioFrequencyHz;
    put(q, "lightFrequencyHz", p.lightFrequencyHz);
    put(q, "carrierFrequencyHz", p.carrierFrequencyHz);
    put(q, "colorHex", p.colorHex);
    if (p.rgb) q["rgb"] = {{"r", jsonNumber(p.rgb->r)}, {"g", jsonNumber(p.rgb->g)}, {"b", jsonNumber(p.rgb->b)}};
    put(q, "rgbIntensity", p.rgbIntensity);
    put(q, "whiteIntensity", p.whiteIntensity);
    put(q, "pulseVolume", p.pulseVolume);
    put(q, "musicVolume", p.musicVolume);
    put(q, "noiseVolume", p.noiseVolume);
    put(q, "reverbMix", p.reverbMix);
    put(q, "musicMood", p.musicMood);
    put(q, "pulseShape", p.pulseShape);
    put(q, "audioPulseShape", p.audioPulseShape);
    put(q, "noiseType", p.noiseType);
    put(q, "reverbPreset", p.reverbPreset);
    if (p.halcyonMode) q["halcyonMode"] = *p.halcyonMode;
    if (p.ganzfeldMode) q["ganzfeldMode"] = *p.ganzfeldMode;
    phases.push_back(std::move(q));
  }
  out["phases"] = std::move(phases);
  return out;
}

OrderedJson sessionFileDocument(const Session& session, double exportedAtWallMs, std::string_view application) {
  OrderedJson doc = OrderedJson::object();
  doc["format"] = kSessionFileFormat;
  doc["version"] = 1;
  doc["application"] = std::string(application);
  doc["exportedAt"] = isoTime(exportedAtWallMs);
  doc["session"] = sessionToJson(session);
  return doc;
}

std::vector<Session> parseSessionLibrary(std::string_view text) {
  std::vector<Session> sessions;
  std::optional<Json> doc = parseJson(text);
  if (!doc || !doc->is_object()) return sessions;
  const Json* list = memberOf(*doc, "sessions");
  if (list == nullptr || !list->is_array()) return sessions;
  for (const Json& raw : *list) {
    if (SessionCheck checked = checkSession(raw)) sessions.push_back(std::move(*checked.session));
  }
  return sessions;
}

SessionCheck sessionById(const std::string& id, const std::vector<Session>& library, const std::vector<Json>& ownSessions) {
  for (const Json& own : ownSessions) {
    const Json* ownId = memberOf(own, "id");
    if (ownId != nullptr && ownId->is_string() && *ownId == id) {
      SessionCheck checked = checkSession(own);
      // Kept under the id the person knows it by, even if the check would make another.
      if (checked) checked.session->id = id;
      return checked;
    }
  }
  for (const Session& shipped : library) {
    if (shipped.id == id) return SessionCheck{shipped, SessionProblem{}};
  }
  return refusal("missing");
}

std::string frequencyText(double from, double to) {
  if (from == to) return jsNumberText(from);
  return jsNumberText(from) + " \u2192 " + jsNumberText(to);
}

}  // namespace solvera::session
