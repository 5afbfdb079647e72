// Light-frame routes: POST "/dmx", GET "/dmx/serial-ports" and the blackout at exit. Owns one
// sender of each output kind for the server's whole life.
#pragma once

#include <optional>
#include <string>

#include "dmx/artnet_sender.hpp"
#include "dmx/enttec_sender.hpp"
#include "dmx/open_dmx_sender.hpp"

namespace solvera {

class StaticServer;

class DmxRoutes {
 public:
  explicit DmxRoutes(StaticServer& server);
  ~DmxRoutes();  // each sender runs its queued work (a blackout) before it closes

  // One light frame: the addressed output sends it, the two others are asked to stop.
  // Always answers (200 with the output's fixed body, or 400 with the error and the ports).
  std::optional<std::string> handleDmx(const std::string& body);
  // {"ok":true,"ports":[...]}: the serial devices an Open DMX adapter may be on.
  std::optional<std::string> serialPortsResponse();
  // Queues black and stop on the Enttec, Open DMX and Art-Net outputs; returns at once.
  void blackoutDmxOutputs();
  // Queues a stop on the Enttec, Open DMX and Art-Net outputs; returns at once.
  void stop();

  dmx::ArtNetSender& artNetSender() { return artNetSender_; }
  dmx::EnttecDmxUsbProSender& enttecUsbProSender() { return enttecUsbProSender_; }
  dmx::OpenDmxFtdiSender& openDmxFtdiSender() { return openDmxFtdiSender_; }

 private:
  dmx::ArtNetSender artNetSender_;
  dmx::EnttecDmxUsbProSender enttecUsbProSender_;
  dmx::OpenDmxFtdiSender openDmxFtdiSender_;
};

}  // namespace solvera
