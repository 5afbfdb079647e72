// The player's, settings' and own sessions' routes: the page's requests turned into the
// player's commands and the store's files, and the player's state as events.
#include "server/session_routes.hpp"

#include <cmath>
#include <utility>

#include "common/files.hpp"
#include "session/session_model.hpp"

namespace solvera {
namespace {

constexpr const char* kNotFound = "Deze sessie bestaat niet (meer).";
constexpr const char* kNotWritten = "De instellingen konden niet worden bewaard.";
constexpr const char* kSessionNotWritten = "De sessie kon niet worden bewaard.";
constexpr const char* kNoSession = "Kies eerst een sessie.";

std::string invalidJson() { return http::jsonFailure("400 Bad Request", "invalid_json"); }

// A body that is one JSON object; nothing otherwise.
std::optional<Json> objectBody(const std::string& body) {
  auto parsed = parseJson(body);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  return parsed;
}

const Json* member(const Json& object, const char* key) {
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

std::string problemReply(const session::SessionProblem& problem) {
  return http::jsonFailure("400 Bad Request", "invalid_session", problem.message(),
                 OrderedJson{{"reason", problem.reason}});
}

OrderedJson statusJson(const session::PlayerStatus& status) { return status.toJson(); }

}  // namespace

SessionRoutes::SessionRoutes(Options options) : options_(std::move(options)) {
  reloadSettings();
  options_.player->updateSettings(settings_);
  // Every notice becomes the latest state event; publishing runs on the player's queue and
  // only hands bytes to the streams.
  subscription_ = options_.player->subscribe([hub = events_](const session::PlayerStatus& status) {
    if (auto text = compactJson(statusJson(status))) hub->publish("state", std::move(*text));
  });
  if (auto text = compactJson(statusJson(options_.player->status()))) {
    events_->publish("state", std::move(*text));
  }
}

SessionRoutes::~SessionRoutes() {
  options_.player->unsubscribe(subscription_);
  // Notices are delivered on the player's queue: once a tick has run there, none is still
  // on its way to the streams.
  options_.player->tick();
  events_->closeAll();
}

session::ProgramSettings SessionRoutes::settings() const {
  std::lock_guard lock(settingsMutex_);
  return settings_;
}

bool SessionRoutes::settingsFresh() const {
  std::lock_guard lock(settingsMutex_);
  return fresh_;
}

void SessionRoutes::reloadSettings() {
  std::optional<session::ProgramSettings> stored = options_.settings->storedSettings();
  std::lock_guard lock(settingsMutex_);
  fresh_ = !stored.has_value();
  settings_ = stored.value_or(session::ProgramSettings{});
}

bool SessionRoutes::storeSettings(const session::ProgramSettings& next) {
  if (!options_.settings->saveSettings(next)) return false;
  reloadSettings();
  options_.player->updateSettings(settings());
  if (settingsListener_) settingsListener_();
  return true;
}

bool SessionRoutes::changeSettings(const std::function<void(session::ProgramSettings&)>& change) {
  session::ProgramSettings next = settings();
  change(next);
  return storeSettings(next);
}

std::string SessionRoutes::stateReply(bool changed) const {
  OrderedJson reply{{"ok", true}, {"state", statusJson(options_.player->status())}};
  reply["changed"] = changed;
  return http::jsonResponse(reply);
}

std::string SessionRoutes::stateResponse() const {
  return http::jsonResponse(OrderedJson{{"ok", true},
                                        {"state", statusJson(options_.player->status())},
                                        {"serverTimeMs", options_.clock->wallMs()}});
}

http::Response SessionRoutes::eventsResponse() {
  http::Response response;
  response.bytes = http::eventStreamHead();
  response.events = events_->open();
  return response;
}

session::SessionCheck SessionRoutes::findSession(const std::string& id) const {
  std::optional<std::string> text = readWholeFile(options_.sessionLibrary);
  return session::sessionById(id, text ? session::parseSessionLibrary(*text) : std::vector<session::Session>{},
                              options_.settings->ownSessions());
}

std::string SessionRoutes::start(const std::string& body) {
  auto request = objectBody(body);
  if (!request) return invalidJson();
  session::StartRequest start;
  if (const Json* raw = member(*request, "session"); raw && raw->is_object()) {
    session::SessionCheck check = session::checkSession(*raw);
    if (!check) return problemReply(check.problem);
    start.session = std::move(*check.session);
  } else if (const Json* id = member(*request, "sessionId"); id && id->is_string()) {
    session::SessionCheck found = findSession(id->get<std::string>());
    if (!found && found.problem.reason == "missing") return http::jsonFailure("404 Not Found", "not_found", kNotFound);
    if (!found) return problemReply(found.problem);
    start.session = std::move(*found.session);
  } else {
    return http::jsonFailure("400 Bad Request", "no_session", kNoSession);
  }
  if (const Json* soundOnly = member(*request, "soundOnly"); soundOnly && soundOnly->is_boolean()) {
    start.soundOnly = soundOnly->get<bool>();
  }
  start.settings = settings();
  start.music = session::musicTracksOf(options_.musicLibrary);
  if (std::optional<Error> refused = options_.player->start(std::move(start))) {
    switch (refused->code) {
      case 403: return http::jsonFailure("409 Conflict", "consent_required", refused->message);
      case 409: return http::jsonFailure("409 Conflict", "playing", refused->message);
      default:
        return http::jsonFailure("400 Bad Request", "invalid_session", refused->message,
                       OrderedJson{{"reason", "limits"}});
    }
  }
  return stateReply(true);
}

std::string SessionRoutes::pause() { return stateReply(options_.player->pause()); }
std::string SessionRoutes::resume() { return stateReply(options_.player->resume()); }
std::string SessionRoutes::stopSession() { return stateReply(options_.player->stop()); }

std::string SessionRoutes::seek(const std::string& body) {
  auto request = objectBody(body);
  if (!request) return invalidJson();
  const Json* seconds = member(*request, "seconds");
  const Json* phase = member(*request, "phase");
  if (seconds && seconds->is_number()) return stateReply(options_.player->seek(seconds->get<double>()));
  if (phase && phase->is_number_integer()) return stateReply(options_.player->seekToPhase(phase->get<int>()));
  return http::jsonFailure("400 Bad Request", "invalid_seek");
}

std::string SessionRoutes::blackout(const std::string& body) {
  auto request = objectBody(body);
  const Json* on = request ? member(*request, "on") : nullptr;
  if (!on || !on->is_boolean()) return http::jsonFailure("400 Bad Request", "invalid_blackout");
  const bool was = options_.player->blackout();
  // The lamps are dark before this returns; the tick after it brings the state up to date.
  options_.player->setBlackout(on->get<bool>());
  options_.player->tick();
  return stateReply(was != on->get<bool>());
}

std::string SessionRoutes::recordResponse() const {
  return http::jsonResponse(OrderedJson{{"ok", true}, {"record", options_.player->record()}});
}

std::string SessionRoutes::settingsResponse() const {
  return http::jsonResponse(OrderedJson{{"ok", true},
                                        {"settings", session::settingsToJson(settings())},
                                        {"fresh", !options_.settings->storedSettings().has_value()}});
}

std::string SessionRoutes::putSettings(const std::string& body) {
  auto raw = objectBody(body);
  if (!raw) return invalidJson();
  session::ProgramSettings next = session::normalizeSettings(*raw);
  // The warning is accepted or withdrawn by its own route only: a page that sends settings
  // without it must not withdraw it, nor one that sends it grant it in passing.
  next.photosensitivityAccepted = settings().photosensitivityAccepted;
  if (!storeSettings(next)) return http::jsonFailure("500 Internal Server Error", "not_written", kNotWritten);
  return http::jsonResponse(
      OrderedJson{{"ok", true}, {"settings", session::settingsToJson(settings())}});
}

std::string SessionRoutes::consent(const std::string& body) {
  auto request = objectBody(body);
  const Json* accepted = request ? member(*request, "accepted") : nullptr;
  if (!accepted || !accepted->is_boolean()) return http::jsonFailure("400 Bad Request", "invalid_consent");
  const bool value = accepted->get<bool>();
  if (!changeSettings([value](session::ProgramSettings& s) { s.photosensitivityAccepted = value; })) {
    return http::jsonFailure("500 Internal Server Error", "not_written", kNotWritten);
  }
  return http::jsonResponse(
      OrderedJson{{"ok", true}, {"settings", session::settingsToJson(settings())}});
}

std::string SessionRoutes::carryOver(const std::string& body) {
  auto request = objectBody(body);
  if (!request) return invalidJson();
  // The page's three local storage keys, as the store reads them.
  Json storage = Json::object();
  if (const Json* s = member(*request, "settings"); s && s->is_object()) {
    storage["solvera.settings.v1"] = *s;
  }
  if (const Json* a = member(*request, "photosensitivityAccepted"); a && a->is_boolean() && a->get<bool>()) {
    storage["solvera.photosensitivityAccepted.v1"] = "yes";
  }
  if (const Json* c = member(*request, "customSessions"); c && c->is_array()) {
    storage["solvera.customSessions.v1"] = *c;
  }
  session::PageStorageMerge merge = options_.settings->mergePageStorage(storage);
  if (merge.settingsTaken) {
    reloadSettings();
    options_.player->updateSettings(settings());
    if (settingsListener_) settingsListener_();
  }
  OrderedJson renamed = OrderedJson::array();
  for (const auto& [from, to] : merge.renamed) renamed.push_back({{"from", from}, {"to", to}});
  OrderedJson sessions = OrderedJson::array();
  for (const Json& s : options_.settings->ownSessions()) sessions.push_back(OrderedJson(s));
  OrderedJson reply{{"ok", merge.written},
                    {"settings", session::settingsToJson(settings())},
                    {"sessions", std::move(sessions)},
                    {"settingsTaken", merge.settingsTaken},
                    {"sessionsAdded", merge.sessionsAdded},
                    {"sessionsAlreadyKept", merge.sessionsAlreadyKept},
                    {"sessionsRefused", merge.sessionsRefused},
                    {"renamed", std::move(renamed)}};
  if (!merge.written) {
    reply["error"] = "not_written";
    reply["message"] = kNotWritten;
    return http::jsonResponse(reply, "500 Internal Server Error");
  }
  return http::jsonResponse(reply);
}

std::string SessionRoutes::ownSessionsResponse() const {
  OrderedJson sessions = OrderedJson::array();
  for (const Json& s : options_.settings->ownSessions()) sessions.push_back(OrderedJson(s));
  return http::jsonResponse(OrderedJson{{"ok", true}, {"sessions", std::move(sessions)}});
}

std::string SessionRoutes::putOwnSession(const std::string& encodedId, const std::string& body) {
  auto id = http::percentDecode(encodedId);
  if (!id || id->empty() || id->find('/') != std::string::npos) {
    return http::jsonFailure("400 Bad Request", "invalid_id");
  }
  auto raw = objectBody(body);
  if (!raw) return invalidJson();
  Json session = *raw;
  session["id"] = *id;
  session::SessionCheck check = session::checkSession(session);
  if (!check) return problemReply(check.problem);
  if (!options_.settings->putOwnSession(session)) {
    return http::jsonFailure("500 Internal Server Error", "not_written", kSessionNotWritten);
  }
  return http::jsonResponse(OrderedJson{{"ok", true}, {"session", OrderedJson(session)}});
}

std::string SessionRoutes::deleteOwnSession(const std::string& encodedId) {
  auto id = http::percentDecode(encodedId);
  if (!id || id->empty()) return http::jsonFailure("400 Bad Request", "invalid_id");
  const bool existed = options_.settings->ownSession(*id).has_value();
  if (!options_.settings->removeOwnSession(*id)) {
    return http::jsonFailure("500 Internal Server Error", "not_written", kSessionNotWritten);
  }
  return http::jsonResponse(OrderedJson{{"ok", true}, {"removed", existed}});
}

void SessionRoutes::stop() {
  options_.player->stop();
  events_->closeAll();
}

}  // namespace solvera
