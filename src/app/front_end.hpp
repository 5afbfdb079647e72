// Front ends: the headless one here; the desktop one comes with the window code.
#pragma once

#include "app/command_line.hpp"
#include "platform/platform.hpp"

namespace solvera {

// Runs the application without a window until SIGINT/SIGTERM or a start failure; returns the
// exit status (0, or 1 after a start failure).
int runHeadless(const CommandLine& commandLine, platform::Bundle bundle);

}  // namespace solvera
