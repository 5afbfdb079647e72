// Light-frame routes: POST "/dmx", GET "/dmx/serial-ports", GET "/dmx/limits" and the blackout
// at exit, over the server's light outputs.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "dmx/dmx_outputs.hpp"

namespace solvera {

class DmxRoutes {
 public:
  explicit DmxRoutes(std::shared_ptr<dmx::DmxOutputs> outputs);
  ~DmxRoutes();  // each sender runs its queued work (a blackout) before it closes

  // One light frame: the addressed output sends it, the two others are asked to stop.
  // Always answers (200 with the output's fixed body, or 400 with the error and the ports).
  std::optional<std::string> handleDmx(const std::string& body);
  // {"ok":true,"ports":[...]}: the serial devices an Open DMX adapter may be on.
  std::optional<std::string> serialPortsResponse();
  // What an output can show: for ?outputMode=...&channels=N&shortFrames=1, the frames per second
  // of its line and the fastest pulse of each shape it shows faithfully (steady light above).
  std::string limitsResponse(const std::string& query);
  // Queues black and stop on the Enttec, Open DMX and Art-Net outputs; returns at once.
  void blackoutDmxOutputs();
  // Queues a stop on the Enttec, Open DMX and Art-Net outputs; returns at once.
  void stop();

  dmx::ArtNetSender& artNetSender() { return outputs_->artNet; }
  dmx::EnttecDmxUsbProSender& enttecUsbProSender() { return outputs_->enttecUsbPro; }
  dmx::OpenDmxFtdiSender& openDmxFtdiSender() { return outputs_->openDmxFtdi; }

 private:
  std::shared_ptr<dmx::DmxOutputs> outputs_;
};

}  // namespace solvera
