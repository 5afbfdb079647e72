// Where the player's light goes: the program's light outputs behind one small interface, so
// that the player can be driven against a fake in tests.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "common/error.hpp"
#include "dmx/dmx_request.hpp"

namespace solvera::dmx {
class LightRouter;
}

namespace solvera::session {

class LightSink {
 public:
  virtual ~LightSink() = default;
  // Each part to its own output, all at once, from now on (outputs not named stop). A part with
  // a pulse carries its anchor: where the waveform stands at a moment of the monotonic clock.
  // One entry per part: nothing when the output took it, else its Dutch message (an output that
  // cannot be opened is its own fault; the others show the light). Throws ErrorException,
  // changing nothing, when the request as a whole is refused.
  virtual std::vector<std::optional<Error>> send(const dmx::LightRequest& request) = 0;
  // Every output dark at once, without waiting behind a device; may be called from any thread,
  // also while send() runs on another.
  virtual void blackout() = 0;
};

// The program's light outputs through the router that "/dmx" uses too.
std::shared_ptr<LightSink> routerLightSink(std::shared_ptr<dmx::LightRouter> router);

}  // namespace solvera::session
