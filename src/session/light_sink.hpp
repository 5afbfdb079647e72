// Where the player's light goes: the program's light outputs behind one small interface, so
// that the player can be driven against a fake in tests.
#pragma once

#include <cstdint>
#include <optional>

#include "dmx/dmx_request.hpp"

namespace solvera::session {

// "At monotonic time atNs the light's waveform stands at position (0..1), and runs at the
// request's pulseHz from there": the output keeps its frames at fixed waveform positions
// counted from this, so a new anchor with a new rate continues without a jump.
struct PulseAnchor {
  std::int64_t atNs = 0;
  double position = 0;
  friend bool operator==(const PulseAnchor&, const PulseAnchor&) = default;
};

class LightSink {
 public:
  virtual ~LightSink() = default;
  // The chosen output shows the request from now on (the others stop). Throws ErrorException
  // with the output's Dutch message when it cannot be opened.
  virtual void send(const dmx::DmxRequest& request, const std::optional<PulseAnchor>& anchor) = 0;
  // Every output dark at once, without waiting behind a device; may be called from any thread,
  // also while send() runs on another.
  virtual void blackout() = 0;
};

}  // namespace solvera::session
