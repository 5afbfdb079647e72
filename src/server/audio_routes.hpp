// Audio routes: POST under "/audio/" drives the tone generator; GET "/audio/limits" tells the page
// the ranges it plays, GET "/audio/devices" lists the output devices.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "audio/native_audio_engine.hpp"

namespace solvera {

class AudioRoutes {
 public:
  explicit AudioRoutes(std::shared_ptr<AudioOutputBackend> backend);
  ~AudioRoutes();

  // "/audio/start", "/audio/update", "/audio/stop"; 404 {"ok":false} for any other path under
  // "/audio/". Runs on the server's queue.
  std::optional<std::string> handleAudio(const std::string& path, const std::string& query,
                                         const std::string& body);
  // The tone generator's ranges, the one table the page checks sessions against:
  // {"ok":true,"beatHz":{"min":..,"max":..},"carrierHz":..,"volume":..,"balance":..,"gainDb":..}.
  static std::string limitsResponse();
  // GET "/audio/devices": {"ok":true,"devices":[{"name":...,"default":bool}],"driver":...},
  // the output devices the sound system lists now (the default one marked where it tells).
  std::string devicesResponse();
  // Stops the audio engine.
  void stop();

  NativeAudioEngine& engine() { return engine_; }

 private:
  std::shared_ptr<AudioOutputBackend> backend_;
  NativeAudioEngine engine_;
};

}  // namespace solvera
