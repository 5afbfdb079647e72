// The relays' documents made from the player's state, and the phone's commands carried out
// on the player.
#include "server/player_relays.hpp"

#include <algorithm>
#include <cmath>

#include "common/serial_queue.hpp"
#include "server/remote_control.hpp"
#include "server/screen_light.hpp"
#include "server/session_routes.hpp"
#include "session/light_look.hpp"
#include "session/timeline.hpp"

namespace solvera {
namespace {

using session::PlayerState;

bool loaded(const session::PlayerStatus& s) { return s.state != PlayerState::idle; }
bool active(const session::PlayerStatus& s) {
  return s.state == PlayerState::running || s.state == PlayerState::paused;
}

std::string localized(const std::string& text, const std::string& english,
                      const std::string& language) {
  return language == "en" && !english.empty() ? english : text;
}

int percent(double value) {
  return static_cast<int>(std::lround(std::clamp(value, 0.0, 100.0)));
}

double rounded(double value, double unit) { return std::round(value / unit) * unit; }

// A JSON number without a needless ".0".
OrderedJson number(double value) {
  if (value == std::trunc(value) && std::fabs(value) < 9.0e15) return static_cast<std::int64_t>(value);
  return value;
}

// A look (0..255 a channel, white added evenly) as a colour at full strength and how bright
// it shows, as the page splits it for screens.
std::pair<std::string, double> screenColorFromLook(const session::LightLook& look) {
  const int r = std::min(255, look.r + look.white);
  const int g = std::min(255, look.g + look.white);
  const int b = std::min(255, look.b + look.white);
  const int peak = std::max({r, g, b});
  if (peak <= 0) return {"#000000", 0};
  auto scaled = [peak](int v) { return static_cast<double>(v) * 255.0 / peak; };
  return {session::rgbToHex(scaled(r), scaled(g), scaled(b)), peak / 255.0 * 100.0};
}

// Whether the lamps take part, as the page decides it for screens too.
bool lightWanted(const session::PlayerStatus& s, const session::ProgramSettings& settings) {
  return active(s) && !s.soundOnly && settings.controls.outputEnabled && !s.blackout &&
         settings.photosensitivityAccepted;
}

// A percentage a command carries, as the phone sends it (a number or its text).
std::optional<double> levelOf(const OrderedJson* value) {
  if (!value) return std::nullopt;
  double n = NAN;
  if (value->is_number()) n = value->get<double>();
  if (value->is_string()) {
    try {
      std::size_t used = 0;
      const std::string& text = value->get_ref<const std::string&>();
      n = std::stod(text, &used);
      if (used != text.size()) return std::nullopt;
    } catch (const std::exception&) {
      return std::nullopt;
    }
  }
  if (!std::isfinite(n)) return std::nullopt;
  return std::clamp(std::round(n), 0.0, 100.0);
}

}  // namespace

std::optional<OrderedJson> remoteProgramState(const session::PlayerStatus& s,
                                              const session::ProgramSettings& settings,
                                              bool settingsFresh, double nowMs) {
  if (!loaded(s) && !s.blackout && settingsFresh) return std::nullopt;
  const auto& c = settings.controls;
  OrderedJson session{{"running", active(s)}, {"paused", s.state == PlayerState::paused}};
  if (loaded(s)) {
    const double remaining = std::max(0.0, s.durationS - s.elapsedS);
    session["title"] = localized(s.title, s.titleEn, settings.language);
    session["timer"] = session::formatClock(remaining);
    session["phase"] = active(s) ? localized(s.phaseName, s.phaseNameEn, settings.language) : "";
    session["elapsed"] = session::formatClock(s.elapsedS);
    session["remaining"] = session::formatClock(remaining);
    session["progress"] =
        number(s.durationS > 0 ? rounded(std::clamp(s.elapsedS / s.durationS, 0.0, 1.0), 0.001) : 0);
  }
  const bool musicPlaying = active(s) && s.sound && c.musicEnabled && s.values.musicVolume > 0;
  return OrderedJson{
      {"updatedAt", static_cast<std::int64_t>(std::floor(nowMs))},
      {"session", std::move(session)},
      {"output", {{"enabled", c.outputEnabled}, {"blackout", s.blackout}}},
      {"controls",
       {{"masterVolume", percent(c.masterVolume)},
        {"rgbIntensity", percent(c.rgbIntensity)},
        {"whiteIntensity", percent(c.whiteIntensity)}}},
      {"audio",
       {{"enabled", c.audioEnabled}, {"musicPlaying", musicPlaying}, {"musicEnabled", c.musicEnabled}}},
      {"language", settings.language == "en" ? "en" : "nl"}};
}

std::optional<std::string> screenProgramState(const session::PlayerStatus& s,
                                              const session::ProgramSettings& settings,
                                              bool settingsFresh, double nowMs) {
  const std::string& language = settings.language;
  if (!loaded(s)) {
    if (settingsFresh) return std::nullopt;
    // The relay's resting document, in the program's language.
    OrderedJson doc = parseOrderedJson(ScreenLight::kDefaultState).value_or(OrderedJson::object());
    doc["updatedAt"] = static_cast<std::int64_t>(std::floor(nowMs));
    doc["language"] = language == "en" ? "en" : "nl";
    return compactJson(doc);
  }
  const bool on = lightWanted(s, settings);
  std::string color = session::rgbToHex(s.values.r, s.values.g, s.values.b);
  double intensity = 0;
  if (on) {
    std::tie(color, intensity) =
        screenColorFromLook(session::lightLook(s.values, s.envelope, settings.controls));
  }
  const double hz = s.values.lightHz > 0 ? s.values.lightHz : 10;
  const bool pulses = settings.light.pulse && s.values.lightHz > 0 && s.state == PlayerState::running;
  OrderedJson doc{{"ok", true},
                  {"updatedAt", static_cast<std::int64_t>(std::floor(nowMs))},
                  {"active", on},
                  {"frequencyHz", number(rounded(hz, 0.01))},
                  {"pulseShape", s.pulseShape.empty() ? "sine" : s.pulseShape},
                  // Paused: the colour holds as steady light, as on the lamps.
                  {"pulseMode", pulses ? "sync" : "steady"},
                  {"pulseEpochMs", number(std::round(s.lightPulseEpochMs))},
                  {"color", color},
                  {"intensity", percent(intensity)},
                  {"language", language == "en" ? "en" : "nl"},
                  {"sessionTitle", localized(s.title, s.titleEn, language)},
                  {"phase", active(s) ? localized(s.phaseName, s.phaseNameEn, language) : "Stand-by"}};
  return compactJson(doc);
}

PlayerRelays::PlayerRelays(SessionRoutes& session, RemoteControl& remote, ScreenLight& screen,
                           SerialQueue& queue, const Clock& clock)
    : session_(session), remote_(remote), screen_(screen), queue_(queue), clock_(clock) {
  // Notices come on the player's queue; the relays live on the server's. A notice that finds
  // the server stopping is never run: the queue runs nothing after its shutdown.
  subscription_ = session_.player().subscribe([this](const session::PlayerStatus& status) {
    queue_.post([this, status] { refresh(status); });
  });
  session_.onSettingsChanged([this] { refresh(last_); });
  remote_.setCommandHandler([this](const OrderedJson& command) { carryOut(command); });
  queue_.post([this] { refresh(session_.player().status()); });
}

PlayerRelays::~PlayerRelays() {
  session_.player().unsubscribe(subscription_);
  session_.player().tick();  // no notice is still on its way once a tick has run
  session_.onSettingsChanged(nullptr);
  remote_.setCommandHandler(nullptr);
}

void PlayerRelays::refresh(const session::PlayerStatus& status) {
  // A notice overtaken by a later one changes nothing.
  if (status.revision < last_.revision) return;
  last_ = status;
  const session::ProgramSettings settings = session_.settings();
  const bool fresh = session_.settingsFresh();
  const double now = clock_.wallMs();
  remote_.setProgramState(remoteProgramState(status, settings, fresh, now));
  screen_.setProgramState(screenProgramState(status, settings, fresh, now));
}

void PlayerRelays::carryOut(const OrderedJson& command) {
  const std::string type = command.value("type", "");
  auto found = command.find("value");
  const OrderedJson* value = found == command.end() ? nullptr : &*found;
  // Toggles take an optional boolean; without one they flip.
  auto flag = [value](bool current) {
    return value && value->is_boolean() ? value->get<bool>() : !current;
  };
  session::SessionPlayer& player = session_.player();
  const session::PlayerState state = player.status().state;
  if (type == "pause") {
    player.pause();
  } else if (type == "resume" || (type == "start" && state == PlayerState::paused)) {
    player.resume();
  } else if (type == "togglePause") {
    if (state == PlayerState::running) player.pause();
    if (state == PlayerState::paused) player.resume();
  } else if (type == "stop") {
    if (state == PlayerState::running || state == PlayerState::paused) player.stop();
  } else if (type == "blackout") {
    player.setBlackout(flag(player.blackout()));
  } else if (type == "masterVolume" || type == "rgbIntensity" || type == "whiteIntensity") {
    std::optional<double> level = levelOf(value);
    if (!level) return;
    session_.changeSettings([&](session::ProgramSettings& s) {
      if (type == "masterVolume") s.controls.masterVolume = *level;
      if (type == "rgbIntensity") s.controls.rgbIntensity = *level;
      if (type == "whiteIntensity") s.controls.whiteIntensity = *level;
    });
  } else if (type == "audio" || type == "music" || type == "output") {
    session_.changeSettings([&](session::ProgramSettings& s) {
      bool& on = type == "audio"   ? s.controls.audioEnabled
                 : type == "music" ? s.controls.musicEnabled
                                   : s.controls.outputEnabled;
      on = flag(on);
    });
  }
}

}  // namespace solvera
