// Audio routes: POST under "/audio/" drives the tone generator.
#pragma once

#include <optional>
#include <string>

namespace solvera {

class StaticServer;

class AudioRoutes {
 public:
  explicit AudioRoutes(StaticServer& server);
  ~AudioRoutes();

  std::optional<std::string> handleAudio(const std::string& path, const std::string& query,
                                         const std::string& body);
  // Stops the audio engine.
  void stop();

 private:
  [[maybe_unused]] StaticServer& server_;
};

}  // namespace solvera
