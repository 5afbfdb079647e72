// The render command: a session to a sound file, from the command line.
#pragma once

#include "app/command_line.hpp"
#include "platform/platform.hpp"

namespace solvera {

// Renders and returns the exit status: 0 only for a complete, valid file; 1 for a session or
// file that could not be done (a Dutch message on standard error); 130 when interrupted.
int runRenderCommand(const RenderCommandLine& command, const platform::Bundle& bundle);

}  // namespace solvera
