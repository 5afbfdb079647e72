// Front ends: headless (a browser shows the interface) and desktop (the control window).
#pragma once

#include "app/app_delegate.hpp"
#include "app/command_line.hpp"
#include "platform/platform.hpp"

namespace solvera {

// What both front ends hand the delegate: the command line's port, the user's music library,
// and the content services and update check made over this platform.
AppDelegate::Options delegateOptions(const CommandLine& commandLine,
                                     const platform::Platform& platform);

// Runs the application without a window until SIGINT/SIGTERM or a start failure; returns the
// exit status (0, or 1 after a start failure).
int runHeadless(const CommandLine& commandLine, platform::Bundle bundle);

#ifdef SOLVERA_HAS_DESKTOP
// Whether a display can be opened for the desktop front end.
bool desktopAvailable();
// Runs the application with its control window until it quits; returns the exit status.
int runDesktop(const CommandLine& commandLine, platform::Bundle bundle);
#endif

}  // namespace solvera
