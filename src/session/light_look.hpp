// The light of the moment as a light request: fixture layouts, the frame with its pulse
// channels, and the colour and intensities a timeline sample and the live controls give.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/json.hpp"
#include "dmx/dmx_request.hpp"
#include "session/settings.hpp"
#include "session/timeline.hpp"

namespace solvera::session {

// The channel roles of one fixture; "dim" is a master dimmer, the channel that pulses.
enum class ChannelRole { r, g, b, w, dim };
// The roles of a layout word ("rgb", "rgbw", "drgb", "drgbw", "rgbd", "rgbwd", "dimmer").
std::optional<std::span<const ChannelRole>> channelLayout(std::string_view word);

struct FixtureLayout {
  int startAddress = 1;
  std::string channelLayout = "rgb";
  int fixtureCount = 1;
  int channelSpacing = 3;  // channels from one fixture's first to the next one's
  friend bool operator==(const FixtureLayout&, const FixtureLayout&) = default;
};

// Gaps filled and nonsense repaired; a spacing below the fixture's size packs them.
FixtureLayout normalizeFixtureLayout(const Json& raw);
FixtureLayout fixtureLayoutOf(const LightSettings& light);

struct LightLook {
  int r = 0, g = 0, b = 0, white = 0;  // 0..255 with intensities applied
  friend bool operator==(const LightLook&, const LightLook&) = default;
};

struct DmxFrame {
  std::vector<std::uint8_t> dmx;            // up to the last channel in use
  std::vector<std::int64_t> pulseChannels;  // 1-based
};

// Fixtures without a white emitter show white as an even addition to red, green and blue.
DmxFrame buildDmxFrame(const FixtureLayout& layout, const LightLook& look);
LightLook lightLook(const TimelineValues& values, double envelope, const Controls& controls);

struct LightPulse {
  double hz = 0;
  std::string shape;
};

// The request for the chosen output; a pulse only when it has a rate and channels to pulse.
dmx::DmxRequest buildDmxRequest(const LightSettings& output, const DmxFrame& frame,
                                const std::optional<LightPulse>& pulse, std::string_view clientId);
// All channels dark, no pulse: what blackout, stop and the end send.
dmx::DmxRequest blackoutRequest(const LightSettings& output, std::string_view clientId);
// Whether the output is set up well enough to send to (an address for Art-Net).
bool outputReady(const LightSettings& output);
// Whether two outputs light the same lamps: one serial port, one OLA universe, or one mode,
// address and universe.
bool sameDestination(const LightSettings& a, const LightSettings& b);
// Every output that shows the light: the chosen one, then the extra ones, each only when it is
// ready and each destination once. An extra output is the chosen one (fixtures, pulse and
// options) at its own mode, address, universe and port.
std::vector<LightSettings> lightOutputs(const LightSettings& light);

}  // namespace solvera::session
