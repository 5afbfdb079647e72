// The session player's routes ("/session/..."), the program's settings ("/settings...") and the
// person's own sessions ("/sessions/own..."), over one player and one settings store.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.hpp"
#include "common/json.hpp"
#include "http/http.hpp"
#include "server/event_hub.hpp"
#include "session/session_player.hpp"
#include "session/settings.hpp"

namespace solvera {

class SessionRoutes {
 public:
  struct Options {
    std::shared_ptr<session::SessionPlayer> player;
    std::shared_ptr<session::SettingsStore> settings;
    std::filesystem::path sessionLibrary;  // the shipped sessions (library.json)
    std::filesystem::path musicLibrary;    // the installed music library's folder
    const Clock* clock = &systemClock();
  };

  explicit SessionRoutes(Options options);
  ~SessionRoutes();
  SessionRoutes(const SessionRoutes&) = delete;
  SessionRoutes& operator=(const SessionRoutes&) = delete;

  // Each a complete reply; they run on the server's queue.
  std::string stateResponse() const;
  http::Response eventsResponse();
  std::string start(const std::string& body);
  std::string pause();
  std::string resume();
  std::string stopSession();
  std::string seek(const std::string& body);
  std::string blackout(const std::string& body);
  std::string recordResponse() const;

  std::string settingsResponse() const;
  std::string putSettings(const std::string& body);
  std::string consent(const std::string& body);
  std::string carryOver(const std::string& body);

  std::string ownSessionsResponse() const;
  // id: the path's last component, still percent-encoded.
  std::string putOwnSession(const std::string& encodedId, const std::string& body);
  std::string deleteOwnSession(const std::string& encodedId);

  // The server stops: the run ends (lamps dark, sound closed) and every stream ends.
  void stop();

  session::SessionPlayer& player() { return *options_.player; }
  EventHub& events() { return *events_; }
  // The program's settings as they stand (stored, or the defaults while there are none).
  session::ProgramSettings settings() const;
  // Whether the program has no settings file of its own yet (the defaults stand in).
  bool settingsFresh() const;
  // Changes the settings through the store and hands them to the player; false when they
  // could not be written (nothing changes then).
  bool changeSettings(const std::function<void(session::ProgramSettings&)>& change);
  // Told (on the server's queue) after every change of the settings.
  void onSettingsChanged(std::function<void()> listener) { settingsListener_ = std::move(listener); }

 private:
  session::SessionCheck findSession(const std::string& id) const;
  void reloadSettings();
  std::string stateReply(bool changed) const;
  bool storeSettings(const session::ProgramSettings& next);

  Options options_;
  std::shared_ptr<EventHub> events_ = std::make_shared<EventHub>();
  std::size_t subscription_ = 0;
  mutable std::mutex settingsMutex_;
  session::ProgramSettings settings_;
  bool fresh_ = true;  // no settings file yet; under settingsMutex_
  std::function<void()> settingsListener_;
};

}  // namespace solvera
