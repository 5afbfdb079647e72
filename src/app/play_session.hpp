// Playing one session from the command line, with no page and no server: finding the session,
// choosing the lamps, and the progress lines.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/command_line.hpp"
#include "platform/platform.hpp"
#include "session/session_model.hpp"
#include "session/session_player.hpp"
#include "session/settings.hpp"

namespace solvera {

// The saved settings with the command line's lamps and consent: the warning counts as accepted
// only when the command line says so.
session::ProgramSettings playSettings(session::ProgramSettings saved, const CommandLine& commandLine);
// One line naming the lamps ("Licht: Art-Net naar 10.0.0.5, universe 1").
std::string lightLine(const session::ProgramSettings& settings, bool soundOnly, bool lamps);

// The lines a change of the player's state gives: the phase reached, each minute, the sound
// and the lamps' trouble, the end.
std::vector<std::string> progressLines(const session::PlayerStatus& before,
                                       const session::PlayerStatus& now);

// Plays the command line's session to its end; returns the exit status (0 at the end or after
// SIGINT/SIGTERM, 1 when it cannot start).
int runPlay(const CommandLine& commandLine, const platform::Bundle& bundle);

}  // namespace solvera
