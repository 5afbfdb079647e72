// The remote-control and screen-light relays fed by the session player: a phone sees the
// session and steers it, and a screen shows its light, with no control page open.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "common/clock.hpp"
#include "common/json.hpp"
#include "session/session_player.hpp"
#include "session/settings.hpp"

namespace solvera {

class SerialQueue;
class SessionRoutes;
class RemoteControl;
class ScreenLight;

// What the program lays over the phone's state document: the session while one is loaded,
// blackout, the switches and levels of its settings and the language, playing or not.
// Nothing only while idle without blackout and with no settings of its own (fresh): the
// page's document as posted, or the relay's placeholders.
std::optional<OrderedJson> remoteProgramState(const session::PlayerStatus& status,
                                              const session::ProgramSettings& settings,
                                              bool settingsFresh, double nowMs);
// The screen-light document: while a session is loaded the lamps' look (colour at full
// strength with its intensity, the pulse counted from the sound's phase); idle, the resting
// document in the settings' language. Nothing while idle with fresh settings.
std::optional<std::string> screenProgramState(const session::PlayerStatus& status,
                                              const session::ProgramSettings& settings,
                                              bool settingsFresh, double nowMs);

class PlayerRelays {
 public:
  // Everything is used on queue (the server's); the relays and routes outlive this.
  PlayerRelays(SessionRoutes& session, RemoteControl& remote, ScreenLight& screen,
               SerialQueue& queue, const Clock& clock);
  ~PlayerRelays();
  PlayerRelays(const PlayerRelays&) = delete;
  PlayerRelays& operator=(const PlayerRelays&) = delete;

  // A phone's command: what the player owns is carried out here ("breathing", and "start"
  // while nothing is paused, stay with the control page).
  void carryOut(const OrderedJson& command);

 private:
  void refresh(const session::PlayerStatus& status);

  SessionRoutes& session_;
  RemoteControl& remote_;
  ScreenLight& screen_;
  SerialQueue& queue_;
  const Clock& clock_;
  std::size_t subscription_ = 0;
  session::PlayerStatus last_;  // on the queue
};

}  // namespace solvera
