// Light-frame routes: POST "/dmx", GET "/dmx/serial-ports", GET "/dmx/limits" and the blackout
// at exit, over the server's light outputs.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "dmx/dmx_outputs.hpp"
#include "dmx/light_router.hpp"

namespace solvera {

class DmxRoutes {
 public:
  // The router's outputs are the routes' outputs; a player of the program's own may share it.
  explicit DmxRoutes(std::shared_ptr<dmx::LightRouter> router);
  ~DmxRoutes();  // each sender runs its queued work (a blackout) before it closes

  // One light frame: the addressed output sends it, the others are asked to stop. Always
  // answers (200 with the output's fixed body, or 400 with the error and the ports); a refused
  // request leaves every output as it was.
  // A frame that a later one from the same page overtook on the way is answered as taken but
  // changes nothing: the page's closing blackout must stay the last word.
  std::optional<std::string> handleDmx(const std::string& body);
  // {"ok":true,"ports":[...]}: the serial devices an Open DMX adapter may be on.
  std::optional<std::string> serialPortsResponse();
  // What an output can show: for ?outputMode=...&channels=N&shortFrames=1, the frames per second
  // of its line and the fastest pulse of each shape it shows faithfully (steady light above).
  std::string limitsResponse(const std::string& query);
  // The exit blackout: queues black and stop on every output and returns at once; from then on
  // nothing lights, whoever asks.
  void blackoutDmxOutputs();
  // Queues a stop on the Enttec, Open DMX and Art-Net outputs; returns at once.
  void stop();

  dmx::LightRouter& router() { return *router_; }
  dmx::ArtNetSender& artNetSender() { return router_->outputs().artNet; }
  dmx::EnttecDmxUsbProSender& enttecUsbProSender() { return router_->outputs().enttecUsbPro; }
  dmx::OpenDmxFtdiSender& openDmxFtdiSender() { return router_->outputs().openDmxFtdi; }

 private:
  // Whether a page already had a later request of its own followed: then this one is stale.
  // Otherwise it becomes that page's latest.
  bool superseded(const dmx::DmxRequest& request);

  std::shared_ptr<dmx::LightRouter> router_;
  // Per sending page ("clientId"), the count of the last request followed and when (in
  // requests handled), so the least recently heard page can be forgotten.
  struct Latest {
    std::int64_t sequence = 0;
    std::uint64_t heard = 0;
  };
  std::map<std::string, Latest> latest_;
  std::uint64_t handled_ = 0;
};

}  // namespace solvera
