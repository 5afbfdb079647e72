// The command line: solvera-pro [--headless] [--resources DIR] [--port N] [--help] [--version],
// solvera-pro [--resources DIR] render SESSION OUTPUT [render options], and, to play one
// session without a page, --headless --play SESSION [--output OUTPUT] [--accept-photosensitivity-warning].
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

// The lamps a played session lights: mode "artnet" with an address and universe, "enttec-usb-pro"
// or "open-dmx-ftdi" with a serial port, or "none".
struct LightOutputOption {
  std::string mode;
  std::string targetIp;
  int universe = 0;
  std::string serialPort;
  friend bool operator==(const LightOutputOption&, const LightOutputOption&) = default;
};

// "artnet:IP[:UNIVERSE]", "enttec:PORT", "opendmx:PORT" or "none"; throws std::invalid_argument.
LightOutputOption parseLightOutput(const std::string& text);

struct CommandLine {
  bool headless = false;
  std::optional<std::string> play;  // a library session's id or a session file
  std::optional<LightOutputOption> output;
  bool acceptPhotosensitivityWarning = false;
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
