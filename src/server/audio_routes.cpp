// Audio routes. The tone generator is not wired in yet, so these requests fall through.
#include "server/audio_routes.hpp"

namespace solvera {

AudioRoutes::AudioRoutes(StaticServer& server) : server_(server) {}
AudioRoutes::~AudioRoutes() = default;
std::optional<std::string> AudioRoutes::handleAudio(const std::string&, const std::string&,
                                                    const std::string&) {
  return std::nullopt;
}
void AudioRoutes::stop() {}

}  // namespace solvera
