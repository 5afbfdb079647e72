// Wire formats of the three outputs, as pure functions over an output frame.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
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

// The same with `slots` channels (even, 2 to 512): a short frame where few channels are used;
// sequence 1 to 255 lets a node drop a packet that arrives late (0: not sequenced).
std::vector<std::uint8_t> artDmxPacket(std::span<const std::uint8_t> frame, std::uint16_t universe,
                                       std::size_t slots, std::uint8_t sequence = 0);

inline constexpr std::size_t kArtSyncPacketBytes = 14;
// ArtSync: a node that holds its ArtDmx frames puts them out now, all universes together.
std::array<std::uint8_t, kArtSyncPacketBytes> artSyncPacket();

inline constexpr std::size_t kArtPollPacketBytes = 14;
// ArtPoll: asks every node that hears it for an ArtPollReply (no diagnostics, no unasked
// replies later).
std::array<std::uint8_t, kArtPollPacketBytes> artPollPacket();

// What an ArtPollReply says of a node.
struct ArtNode {
  std::uint32_t address = 0;  // the node's IPv4 address as it reports it, host byte order
  std::string shortName;
  std::string longName;
  std::string report;                   // the node's status text ("#0001 [0123] ...")
  std::vector<std::uint16_t> universes;  // port addresses of its DMX output ports
  std::uint8_t bindIndex = 0;            // which of a large node's replies this is (0 or 1: the first)
};
// Shortest ArtPollReply every consumer must accept; missing fields count as zero.
inline constexpr std::size_t kArtPollReplyMinBytes = 207;
// Parses an ArtPollReply; nothing for anything else (another packet, too short, a wrong ID or
// OpCode).
std::optional<ArtNode> parseArtPollReply(std::span<const std::uint8_t> packet);

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
