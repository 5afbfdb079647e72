// Wire formats of the three outputs, as pure functions over an output frame.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "dmx/dmx_request.hpp"

namespace solvera::dmx {

inline constexpr std::size_t kArtDmxPacketBytes = 18 + kDmxChannels;
inline constexpr std::size_t kDmxPayloadBytes = 1 + kDmxChannels;  // start code + channels
inline constexpr std::uint8_t kUsbProSendDmxLabel = 6;

using ArtDmxPacket = std::array<std::uint8_t, kArtDmxPacketBytes>;
using DmxPayload = std::array<std::uint8_t, kDmxPayloadBytes>;

// ArtDmx (OpDmx, protocol 14, no sequencing) carrying all 512 channels; only the low 15 bits
// of the universe reach the wire.
ArtDmxPacket buildArtDmxPacket(std::span<const std::uint8_t> frame, std::uint16_t universe);

// The same with `slots` channels (even, 2 to 512): a short frame where few channels are used.
std::vector<std::uint8_t> artDmxPacket(std::span<const std::uint8_t> frame, std::uint16_t universe,
                                       std::size_t slots);

// Start code 0x00 and channels 1..512: the frame where it reaches, 0 beyond, extra dropped.
// Both the USB Pro payload and the Open DMX line frame.
DmxPayload dmxPayload(std::span<const std::uint8_t> frame);
// Start code and channels 1..slots (1 to 512).
std::vector<std::uint8_t> dmxPayload(std::span<const std::uint8_t> frame, std::size_t slots);

// One USB Pro message: 0x7E, label, length (low, high), payload, 0xE7.
std::vector<std::uint8_t> usbProMessage(std::uint8_t label, std::span<const std::uint8_t> payload);

// The trace file's header line and one data line for a frame about to be sent.
inline constexpr std::string_view kTraceHeader =
    "monotonic_ns,target_ip,universe,pulse_hz,pulse_shape,pulse_channels,dmx_1_32\n";
std::string traceLine(std::int64_t nowNs, const Stream& stream, std::span<const std::uint8_t> frame);

// The shortest decimal text that reads back to the same double, always with a fraction
// ("10.0", "0.1").
std::string shortestDecimal(double value);

}  // namespace solvera::dmx
