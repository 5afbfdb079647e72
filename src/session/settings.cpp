// Program settings and own sessions in the person's XDG folders, and the carrying over of what a
// page kept in its local storage.
#include "session/settings.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "common/files.hpp"
#include "common/xdg.hpp"
#include "session/js_values.hpp"
#include "session/light_look.hpp"

namespace solvera::session {
namespace fs = std::filesystem;
namespace {

constexpr const char* kOwnSessionsFormat = "solvera-own-sessions";
constexpr const char* kPageSettingsKey = "solvera.settings.v1";
constexpr const char* kPagePhotosensitivityKey = "solvera.photosensitivityAccepted.v1";
constexpr const char* kPageCustomSessionsKey = "solvera.customSessions.v1";

const Json& objectOr(const Json& raw, std::string_view key) {
  static const Json kEmpty = Json::object();
  const Json* value = memberOf(raw, key);
  return value != nullptr && value->is_object() ? *value : kEmpty;
}

// The page's num(): Number(v) when finite (and whole, where asked), kept within lo..hi.
double num(const Json& object, std::string_view key, double lo, double hi, double fallback, bool integer = false) {
  const double n = jsNumber(memberOf(object, key));
  if (!std::isfinite(n) || (integer && n != std::trunc(n))) return fallback;
  return std::min(hi, std::max(lo, n));
}

bool flag(const Json& object, std::string_view key, bool fallback) {
  const Json* value = memberOf(object, key);
  return value != nullptr && value->is_boolean() ? value->get<bool>() : fallback;
}

std::string word(const Json& object, std::string_view key, std::initializer_list<std::string_view> allowed,
                 std::string fallback) {
  const Json* value = memberOf(object, key);
  if (value == nullptr || !value->is_string()) return fallback;
  const auto& text = value->get_ref<const std::string&>();
  return std::find(allowed.begin(), allowed.end(), text) != allowed.end() ? text : fallback;
}

std::string textOf(const Json& object, std::string_view key, bool trim) {
  const Json* value = memberOf(object, key);
  if (value == nullptr || !value->is_string()) return "";
  const auto& text = value->get_ref<const std::string&>();
  return trim ? std::string(jsTrim(text)) : text;
}

bool hostText(std::string_view host) {
  return std::all_of(host.begin(), host.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
  });
}

OrderedJson numberJson(double value) {
  if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 9.0e15) return static_cast<std::int64_t>(value);
  return value;
}

// A value that may come as JSON text (as local storage holds it) or already parsed.
std::optional<Json> parsedValue(const Json* value) {
  if (value == nullptr || value->is_null()) return std::nullopt;
  if (value->is_string()) return parseJson(value->get_ref<const std::string&>());
  return *value;
}

bool isSessionObject(const Json& s) {
  const Json* id = memberOf(s, "id");
  const Json* phases = memberOf(s, "phases");
  return s.is_object() && id != nullptr && id->is_string() && !id->get_ref<const std::string&>().empty() &&
         phases != nullptr && phases->is_array();
}

Json withoutId(Json s) {
  s.erase("id");
  return s;
}

bool ensureFolder(const fs::path& file) {
  std::error_code error;
  fs::create_directories(file.parent_path(), error);
  return !error;
}

}  // namespace

ProgramSettings normalizeSettings(const Json& rawIn) {
  static const Json kEmpty = Json::object();
  const Json& r = rawIn.is_object() ? rawIn : kEmpty;
  const Json& light = objectOr(r, "light");
  const Json& audio = objectOr(r, "audio");
  const Json& controls = objectOr(r, "controls");
  const FixtureLayout layout = normalizeFixtureLayout(light);
  ProgramSettings s;
  s.language = word(r, "language", {"nl", "en"}, "nl");
  const auto address = [](const Json& object) {
    const std::string text = textOf(object, "targetIp", true);
    return hostText(text) ? text : "";
  };
  const std::initializer_list<std::string_view> modes{"artnet", "sacn", "enttec-usb-pro", "open-dmx-ftdi", "ola"};
  s.light.outputMode = word(light, "outputMode", modes, "artnet");
  s.light.targetIp = address(light);
  s.light.universe = static_cast<int>(num(light, "universe", 0, 63999, 0, true));
  s.light.serialPort = textOf(light, "serialPort", false);
  s.light.startAddress = layout.startAddress;
  s.light.channelLayout = layout.channelLayout;
  s.light.fixtureCount = layout.fixtureCount;
  s.light.channelSpacing = static_cast<int>(num(light, "channelSpacing", 0, 512, 0, true));
  s.light.pulse = flag(light, "pulse", true);
  s.light.shortFrames = flag(light, "shortFrames", false);
  s.light.priority = static_cast<int>(num(light, "priority", 0, 200, 100, true));
  s.light.networkInterface = textOf(light, "networkInterface", true);
  s.light.sequencing = flag(light, "sequencing", false);
  s.light.sync = flag(light, "sync", false);
  if (const Json* extras = memberOf(light, "extraOutputs"); extras != nullptr && extras->is_array()) {
    for (const Json& o : *extras) {
      if (s.light.extraOutputs.size() == kMaxExtraOutputs) break;
      s.light.extraOutputs.push_back(ExtraOutput{word(o, "outputMode", modes, "artnet"), address(o),
                                                 static_cast<int>(num(o, "universe", 0, 63999, 0, true)),
                                                 textOf(o, "serialPort", false)});
    }
  }
  s.audio.mode = word(audio, "mode", {"session", "binaural", "monaural", "isochronic", "isochronic-monaural"}, "session");
  s.audio.pulseShape = word(audio, "pulseShape", {"session", "sine", "triangle", "square", "trapezoid", "sawtooth"}, "session");
  s.audio.balance = num(audio, "balance", -1, 1, 0);
  s.audio.bass = num(audio, "bass", -12, 12, 0);
  s.audio.mid = num(audio, "mid", -12, 12, 0);
  s.audio.treble = num(audio, "treble", -12, 12, 0);
  s.audio.noise = flag(audio, "noise", true);
  s.audio.device = textOf(audio, "device", true);
  s.audio.latencyMs = num(audio, "latencyMs", 0, kMaxExtraLatencyMs, 0);
  s.controls.masterVolume = num(controls, "masterVolume", 0, 100, 80);
  s.controls.rgbIntensity = num(controls, "rgbIntensity", 0, 100, 100);
  s.controls.whiteIntensity = num(controls, "whiteIntensity", 0, 100, 100);
  s.controls.audioEnabled = flag(controls, "audioEnabled", true);
  s.controls.musicEnabled = flag(controls, "musicEnabled", true);
  s.controls.outputEnabled = flag(controls, "outputEnabled", true);
  s.openAIKey = textOf(r, "openAIKey", true);
  s.photosensitivityAccepted = flag(r, "photosensitivityAccepted", false);
  return s;
}

OrderedJson settingsToJson(const ProgramSettings& s) {
  OrderedJson light = {{"outputMode", s.light.outputMode}, {"targetIp", s.light.targetIp},
                       {"universe", s.light.universe},     {"serialPort", s.light.serialPort},
                       {"startAddress", s.light.startAddress}, {"channelLayout", s.light.channelLayout},
                       {"fixtureCount", s.light.fixtureCount}, {"channelSpacing", s.light.channelSpacing},
                       {"pulse", s.light.pulse},           {"shortFrames", s.light.shortFrames},
                       {"priority", s.light.priority},     {"networkInterface", s.light.networkInterface},
                       {"sequencing", s.light.sequencing}, {"sync", s.light.sync},
                       {"extraOutputs", OrderedJson::array()}};
  for (const ExtraOutput& o : s.light.extraOutputs) {
    light["extraOutputs"].push_back(OrderedJson{{"outputMode", o.outputMode}, {"targetIp", o.targetIp},
                                                {"universe", o.universe}, {"serialPort", o.serialPort}});
  }
  OrderedJson audio = {{"mode", s.audio.mode},       {"pulseShape", s.audio.pulseShape},
                       {"balance", numberJson(s.audio.balance)}, {"bass", numberJson(s.audio.bass)},
                       {"mid", numberJson(s.audio.mid)}, {"treble", numberJson(s.audio.treble)},
                       {"noise", s.audio.noise},     {"device", s.audio.device},
                       {"latencyMs", numberJson(s.audio.latencyMs)}};
  OrderedJson controls = {{"masterVolume", numberJson(s.controls.masterVolume)},
                          {"rgbIntensity", numberJson(s.controls.rgbIntensity)},
                          {"whiteIntensity", numberJson(s.controls.whiteIntensity)},
                          {"audioEnabled", s.controls.audioEnabled},
                          {"musicEnabled", s.controls.musicEnabled},
                          {"outputEnabled", s.controls.outputEnabled}};
  OrderedJson out = OrderedJson::object();
  out["language"] = s.language;
  out["light"] = std::move(light);
  out["audio"] = std::move(audio);
  out["controls"] = std::move(controls);
  out["openAIKey"] = s.openAIKey;
  out["photosensitivityAccepted"] = s.photosensitivityAccepted;
  return out;
}

SettingsStore::SettingsStore(fs::path settingsFile, fs::path ownSessionsFile)
    : settingsFile_(std::move(settingsFile)), sessionsFile_(std::move(ownSessionsFile)) {}

fs::path SettingsStore::defaultSettingsFile(const std::string& productDisplayName) {
  return xdg::configHome() / productDisplayName / "settings.json";
}

fs::path SettingsStore::defaultOwnSessionsFile() { return xdg::dataHome() / "Solvera Pro" / "own-sessions.json"; }

std::optional<ProgramSettings> SettingsStore::storedSettings() const {
  std::lock_guard lock(mutex_);
  return readSettings();
}

std::optional<ProgramSettings> SettingsStore::readSettings() const {
  std::optional<std::string> text = readWholeFile(settingsFile_);
  if (!text) return std::nullopt;
  // A damaged file still counts as the program's own: its repair gives the defaults.
  return normalizeSettings(parseJson(*text).value_or(Json::object()));
}

ProgramSettings SettingsStore::settings() const { return storedSettings().value_or(ProgramSettings{}); }

bool SettingsStore::saveSettings(const ProgramSettings& settings) {
  std::lock_guard lock(mutex_);
  const ProgramSettings clean = normalizeSettings(Json(settingsToJson(settings)));
  // The file holds the person's OpenAI key: readable by them alone.
  return ensureFolder(settingsFile_) &&
         writeFileAtomically(settingsFile_, settingsToJson(clean).dump(2) + "\n", 0600);
}

std::vector<Json> SettingsStore::readSessions() const {
  std::vector<Json> sessions;
  std::optional<std::string> text = readWholeFile(sessionsFile_);
  std::optional<Json> doc = text ? parseJson(*text) : std::nullopt;
  const Json* list = doc ? memberOf(*doc, "sessions") : nullptr;
  if (list == nullptr || !list->is_array()) return sessions;
  for (const Json& s : *list) {
    if (isSessionObject(s)) sessions.push_back(s);
  }
  return sessions;
}

bool SettingsStore::writeSessions(const std::vector<Json>& sessions) {
  Json doc = {{"format", kOwnSessionsFormat}, {"version", 1}, {"sessions", sessions}};
  std::optional<std::string> text = compactJson(doc);
  return text && ensureFolder(sessionsFile_) && writeFileAtomically(sessionsFile_, *text + "\n");
}

std::vector<Json> SettingsStore::ownSessions() const {
  std::lock_guard lock(mutex_);
  return readSessions();
}

std::optional<Json> SettingsStore::ownSession(const std::string& id) const {
  std::lock_guard lock(mutex_);
  for (Json& s : readSessions()) {
    if (s["id"] == id) return std::move(s);
  }
  return std::nullopt;
}

bool SettingsStore::putOwnSession(const Json& session) {
  if (!isSessionObject(session)) return false;
  std::lock_guard lock(mutex_);
  std::vector<Json> sessions = readSessions();
  std::erase_if(sessions, [&](const Json& s) { return s["id"] == session["id"]; });
  sessions.insert(sessions.begin(), session);
  return writeSessions(sessions);
}

bool SettingsStore::removeOwnSession(const std::string& id) {
  std::lock_guard lock(mutex_);
  std::vector<Json> sessions = readSessions();
  if (std::erase_if(sessions, [&](const Json& s) { return s["id"] == id; }) == 0) return true;
  return writeSessions(sessions);
}

PageStorageMerge SettingsStore::mergePageStorage(const Json& storage) {
  PageStorageMerge result;
  std::lock_guard lock(mutex_);
  if (!readSettings() && storage.is_object()) {
    std::optional<Json> pageSettings = parsedValue(memberOf(storage, kPageSettingsKey));
    const Json* accepted = memberOf(storage, kPagePhotosensitivityKey);
    const bool warningAccepted = accepted != nullptr && accepted->is_string() && *accepted == "yes";
    if (pageSettings || warningAccepted) {
      ProgramSettings settings = normalizeSettings(pageSettings.value_or(Json::object()));
      settings.photosensitivityAccepted = warningAccepted;
      result.settingsTaken = ensureFolder(settingsFile_) &&
                             writeFileAtomically(settingsFile_, settingsToJson(settings).dump(2) + "\n", 0600);
      result.written = result.settingsTaken;
    }
  }
  std::optional<Json> pageSessions = storage.is_object() ? parsedValue(memberOf(storage, kPageCustomSessionsKey)) : std::nullopt;
  if (!pageSessions || !pageSessions->is_array() || pageSessions->empty()) return result;
  std::vector<Json> sessions = readSessions();
  auto idTaken = [&](const std::string& id) {
    return std::any_of(sessions.begin(), sessions.end(), [&](const Json& s) { return s["id"] == id; }) ||
           std::any_of(pageSessions->begin(), pageSessions->end(), [&](const Json& s) { return s.is_object() && s.value("id", Json()) == id; });
  };
  bool changed = false;
  for (const Json& page : *pageSessions) {
    if (!isSessionObject(page)) {
      ++result.sessionsRefused;
      continue;
    }
    const std::string id = page["id"];
    auto same = std::find_if(sessions.begin(), sessions.end(), [&](const Json& s) { return s["id"] == id; });
    if (same == sessions.end()) {
      sessions.push_back(page);
      ++result.sessionsAdded;
      changed = true;
      continue;
    }
    if (*same == page) {
      ++result.sessionsAlreadyKept;
      continue;
    }
    // Kept before under a new id? Then it is already here.
    const Json content = withoutId(page);
    auto kept = std::find_if(sessions.begin(), sessions.end(), [&](const Json& s) { return withoutId(s) == content; });
    if (kept != sessions.end()) {
      ++result.sessionsAlreadyKept;
      continue;
    }
    const std::string base = id.substr(0, 70);
    std::string newId;
    for (int n = 2; newId.empty() || idTaken(newId); ++n) newId = base + "-" + std::to_string(n);
    Json renamed = page;
    renamed["id"] = newId;
    sessions.push_back(std::move(renamed));
    result.renamed.emplace_back(id, newId);
    changed = true;
  }
  if (changed && !writeSessions(sessions)) result.written = false;
  return result;
}

}  // namespace solvera::session
