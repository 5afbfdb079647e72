// Where the player's light goes: the program's light outputs behind one small interface, so
// that the player can be driven against a fake in tests.
#pragma once

#include <memory>

#include "dmx/dmx_request.hpp"

namespace solvera::dmx {
class LightRouter;
}

namespace solvera::session {

class LightSink {
 public:
  virtual ~LightSink() = default;
  // The addressed output shows the request from now on (the others stop). A request with a
  // pulse carries its anchor: where the waveform stands at a moment of the monotonic clock.
  // Throws ErrorException with the output's Dutch message when it cannot take it.
  virtual void send(const dmx::DmxRequest& request) = 0;
  // Every output dark at once, without waiting behind a device; may be called from any thread,
  // also while send() runs on another.
  virtual void blackout() = 0;
};

// The program's light outputs through the router that "/dmx" uses too.
std::shared_ptr<LightSink> routerLightSink(std::shared_ptr<dmx::LightRouter> router);

}  // namespace solvera::session
