// solvera-pro --headless --play: one session from start to end on this machine's lamps and
// sound, its progress on standard output, dark and silent at the end.
#include "app/play_session.hpp"

#include <glib-unix.h>

#include <cmath>
#include <csignal>
#include <iostream>
#include <memory>

#include "app/named_session.hpp"
#include "common/main_thread.hpp"
#include "common/xdg.hpp"
#include "dmx/dmx_outputs.hpp"
#include "dmx/last_light.hpp"
#include "dmx/light_router.hpp"
#include "session/light_look.hpp"
#include "session/light_sink.hpp"
#include "session/timeline.hpp"

namespace solvera {
namespace {

constexpr const char* kSoundOnlyLine =
    "Het licht blijft uit: deze sessie speelt alleen geluid, want --accept-photosensitivity-warning "
    "(de waarschuwing voor lichtgevoeligheid is gelezen) ontbreekt.";

std::string clock(double seconds) { return "[" + session::formatClock(seconds) + "]"; }

}  // namespace

session::ProgramSettings playSettings(session::ProgramSettings saved, const CommandLine& commandLine) {
  if (commandLine.output && commandLine.output->mode != "none") {
    const LightOutputOption& o = *commandLine.output;
    saved.light.outputMode = o.mode;
    saved.light.targetIp = o.targetIp;
    saved.light.universe = o.universe;
    saved.light.serialPort = o.serialPort;
    // The lamps named are the lamps lit: the saved extra outputs stay dark.
    saved.light.extraOutputs.clear();
  }
  saved.photosensitivityAccepted = commandLine.acceptPhotosensitivityWarning;
  // Played for someone: the lamps are on unless the command line leaves them out.
  saved.controls.outputEnabled = true;
  return saved;
}

std::string lightLine(const session::ProgramSettings& settings, bool soundOnly, bool lamps) {
  if (soundOnly) return kSoundOnlyLine;
  const session::LightSettings& l = settings.light;
  if (!lamps) return "Licht: geen lampen (--output none).";
  const std::vector<session::LightSettings> outputs = session::lightOutputs(l);
  if (outputs.empty()) return "Licht: geen uitgang ingesteld; geef er een met --output.";
  const session::LightSettings& first = outputs.front();
  std::string line;
  if (first.outputMode == "enttec-usb-pro") {
    line = "Licht: Enttec DMX USB Pro op " + first.serialPort;
  } else if (first.outputMode == "open-dmx-ftdi") {
    line = "Licht: Open DMX op " + first.serialPort;
  } else if (first.outputMode == "ola") {
    line = "Licht: OLA, universe " + std::to_string(first.universe);
  } else if (first.outputMode == "sacn") {
    line = "Licht: sACN naar " + (first.targetIp.empty() ? std::string("multicast") : first.targetIp) + ", universe " +
           std::to_string(first.universe);
  } else {
    line = "Licht: Art-Net naar " + first.targetIp + ", universe " + std::to_string(first.universe);
  }
  const std::size_t more = outputs.size() - 1;
  if (more == 1) line += ", en 1 extra uitgang";
  if (more > 1) line += ", en " + std::to_string(more) + " extra uitgangen";
  return line + ".";
}

std::vector<std::string> progressLines(const session::PlayerStatus& before,
                                       const session::PlayerStatus& now) {
  using session::PlayerState;
  std::vector<std::string> lines;
  const bool started = before.state == PlayerState::idle && now.state == PlayerState::running;
  if (started) {
    lines.push_back("Sessie: " + now.title + " (" + session::formatClock(now.durationS) + ", " +
                    std::to_string(now.phaseCount) + (now.phaseCount == 1 ? " fase)" : " fasen)"));
  }
  if (now.state == PlayerState::finished && before.state != PlayerState::finished) {
    lines.push_back(clock(now.durationS) + " Sessie afgelopen.");
    return lines;
  }
  if (now.state != PlayerState::running && now.state != PlayerState::paused) return lines;
  if (now.sound != before.sound || now.audioDevice != before.audioDevice || started) {
    lines.push_back(now.sound ? "Geluid: " + (now.audioDevice.empty() ? std::string("standaardapparaat")
                                                                      : now.audioDevice) + "."
                              : "Geluid: geen apparaat; de sessie loopt zonder geluid.");
  }
  if (!now.lightError.empty() && now.lightError != before.lightError) {
    lines.push_back("Licht: " + now.lightError);
  }
  if (now.phaseIndex >= 0 && now.phaseIndex != before.phaseIndex) {
    lines.push_back(clock(now.elapsedS) + " Fase " + std::to_string(now.phaseIndex + 1) + "/" +
                    std::to_string(now.phaseCount) + ": " + now.phaseName);
  } else if (std::floor(now.elapsedS / 60) > std::floor(before.elapsedS / 60) && !started) {
    lines.push_back(clock(now.elapsedS) + " nog " +
                    session::formatClock(std::max(0.0, now.durationS - now.elapsedS)));
  }
  return lines;
}

int runPlay(const CommandLine& commandLine, const platform::Bundle& bundle) {
  const std::string name = bundle.info.productDisplayName();
  session::SettingsStore store(session::SettingsStore::defaultSettingsFile(name),
                               session::SettingsStore::defaultOwnSessionsFile());
  NamedSession found = loadNamedSession(*commandLine.play, bundle, store);
  if (!found.session) {
    std::cerr << "solvera-pro: " << found.error << std::endl;
    return 1;
  }
  const session::ProgramSettings settings = playSettings(store.settings(), commandLine);
  const bool soundOnly = !settings.photosensitivityAccepted;
  const bool lamps = !(commandLine.output && commandLine.output->mode == "none");

  auto router = std::make_shared<dmx::LightRouter>(std::make_shared<dmx::DmxOutputs>());
  session::SessionPlayer::Options options;
  options.audio = sdlAudioBackend(name);
  if (lamps && !soundOnly) options.light = session::routerLightSink(router);
  auto player = std::make_shared<session::SessionPlayer>(std::move(options));

  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  auto last = std::make_shared<session::PlayerStatus>();
  auto finished = std::make_shared<bool>(false);
  // Notices come on the player's queue; lines are printed in order on the main thread.
  const std::size_t subscription =
      player->subscribe([loop, last, finished](const session::PlayerStatus& status) {
        mainthread::post([loop, last, finished, status] {
          if (*finished) return;
          for (const std::string& line : progressLines(*last, status)) std::cout << line << std::endl;
          *last = status;
          if (status.state == session::PlayerState::finished) {
            *finished = true;
            g_main_loop_quit(loop);
          }
        });
      });
  auto onSignal = [](gpointer data) -> gboolean {
    g_main_loop_quit(static_cast<GMainLoop*>(data));
    return G_SOURCE_CONTINUE;
  };
  guint sigint = g_unix_signal_add(SIGINT, onSignal, loop);
  guint sigterm = g_unix_signal_add(SIGTERM, onSignal, loop);

  std::cout << lightLine(settings, soundOnly, lamps) << std::endl;
  session::StartRequest start;
  start.session = std::move(*found.session);
  start.settings = settings;
  start.soundOnly = soundOnly;
  start.music = session::musicTracksOf(xdg::musicLibraryDir());
  int status = 0;
  if (std::optional<Error> refused = player->start(std::move(start))) {
    std::cerr << refused->message << std::endl;
    status = 1;
  } else {
    g_main_loop_run(loop);
    if (!*finished) std::cout << clock(player->status().elapsedS) << " Sessie gestopt." << std::endl;
  }
  // The end in order: every lamp dark for good, then the sound closed with the player.
  router->exitBlackout();
  *finished = true;  // nothing more is printed
  player->unsubscribe(subscription);
  player->stop();
  player.reset();
  router.reset();
  dmx::LastLight::disarm();
  g_source_remove(sigint);
  g_source_remove(sigterm);
  // What the player's last notices queued on the main loop is no longer wanted.
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
  g_main_loop_unref(loop);
  return status;
}

}  // namespace solvera
