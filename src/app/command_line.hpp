// The command line: solvera-pro [--headless] [--resources DIR] [--port N] [--help] [--version]
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace solvera {

struct CommandLine {
  bool headless = false;
  bool help = false;
  bool version = false;
  std::optional<std::filesystem::path> resources;
  std::uint16_t port = 8765;
};

// Throws std::invalid_argument with a one-line explanation for a wrong command line.
CommandLine parseCommandLine(const std::vector<std::string>& args);

std::string usageText();

}  // namespace solvera
