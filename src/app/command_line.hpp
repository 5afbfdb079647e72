// The command line: solvera-pro [--headless] [--resources DIR] [--port N] [--help] [--version],
// and solvera-pro [--resources DIR] render SESSION OUTPUT [render options]
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace solvera {

// solvera-pro render SESSION OUTPUT: a session to a sound file.
struct RenderCommandLine {
  std::string session;  // a library id, or a .svpsession, .sbg or .gnaural file
  std::filesystem::path output;
  int rate = 44100;
  int bits = 16;
  std::optional<double> fromS;
  std::optional<double> toS;
  bool noMusic = false;
  bool noNoise = false;
};

struct CommandLine {
  bool headless = false;
  bool help = false;
  bool version = false;
  std::optional<std::filesystem::path> resources;
  std::uint16_t port = 8765;
  std::optional<RenderCommandLine> render;
};

// Throws std::invalid_argument with a one-line explanation for a wrong command line.
CommandLine parseCommandLine(const std::vector<std::string>& args);

std::string usageText();

}  // namespace solvera
