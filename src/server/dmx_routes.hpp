// Light-frame routes: POST "/dmx", GET "/dmx/serial-ports", GET "/dmx/limits", GET "/dmx/nodes",
// GET "/dmx/interfaces" and the blackout at exit, over the server's light outputs.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "dmx/artnet_discovery.hpp"
#include "dmx/dmx_outputs.hpp"
#include "dmx/light_router.hpp"

namespace solvera {

class SerialQueue;

class DmxRoutes {
 public:
  // The router's outputs are the routes' outputs; a player of the program's own may share it.
  // discovery: finds Art-Net nodes; its answers are handed to the replies' queue (the server's).
  DmxRoutes(std::shared_ptr<dmx::LightRouter> router, std::shared_ptr<dmx::ArtNetDiscovery> discovery,
            SerialQueue& replies);
  ~DmxRoutes();  // each sender runs its queued work (a blackout) before it closes

  // One light frame: the addressed output sends it, the others are asked to stop. Always
  // answers (200 with the output's fixed body, or 400 with the error and the ports); a refused
  // request leaves every output as it was. A request with "outputs" lights each listed output
  // and stops the others; it is answered 200 with {"ok": all took it, "outputs": [{"outputMode",
  // "ok", "error" when not}, ...]} (and the ports when one failed), or 400 when refused.
  // A frame that a later one from the same page overtook on the way is answered as taken but
  // changes nothing: the page's closing blackout must stay the last word.
  std::optional<std::string> handleDmx(const std::string& body);
  // {"ok":true,"ports":[...]}: the serial devices an Open DMX adapter may be on.
  std::optional<std::string> serialPortsResponse();
  // What an output can show: for ?outputMode=...&channels=N&shortFrames=1, the frames per second
  // of its line and the fastest pulse of each shape it shows faithfully (steady light above).
  std::string limitsResponse(const std::string& query);
  // {"ok":true,"nodes":[{"ip","name","shortName","universes","status"},...]}: the Art-Net nodes
  // that answered a poll (?refresh=1: a new one), handed to reply on the server's queue within
  // about 2 s; the server's queue never waits for the poll.
  void nodesResponse(const std::string& query, std::function<void(std::string)> reply);
  // {"ok":true,"interfaces":[{"name","address"},...]}: where sACN multicast may leave.
  std::string interfacesResponse();
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
  std::shared_ptr<dmx::ArtNetDiscovery> discovery_;
  // Where the discovery's answers go, closed when these routes go (a poll may outlive them).
  struct ReplyGate;
  std::shared_ptr<ReplyGate> gate_;
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
