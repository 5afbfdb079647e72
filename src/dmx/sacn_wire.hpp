// sACN (ANSI E1.31) data packets as pure functions: the root, framing and DMP layers of one
// universe's frame, and the multicast group a universe belongs to.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dmx/dmx_request.hpp"

namespace solvera::dmx {

inline constexpr std::uint16_t kSacnPort = 5568;
inline constexpr std::uint16_t kSacnMinUniverse = 1;
inline constexpr std::uint16_t kSacnMaxUniverse = 63999;
inline constexpr std::uint8_t kSacnDefaultPriority = 100;
inline constexpr std::uint8_t kSacnMaxPriority = 200;
inline constexpr std::size_t kSacnSourceNameBytes = 64;  // UTF-8, NUL-terminated
inline constexpr std::size_t kSacnHeaderBytes = 126;     // up to and including the start code
inline constexpr std::size_t kSacnPacketBytes = kSacnHeaderBytes + kDmxChannels;
// Options bits of the framing layer.
inline constexpr std::uint8_t kSacnPreviewData = 0x80;
inline constexpr std::uint8_t kSacnStreamTerminated = 0x40;
// Offsets a sender patches in a prepared packet.
inline constexpr std::size_t kSacnSequenceOffset = 111;
inline constexpr std::size_t kSacnOptionsOffset = 112;

using SacnCid = std::array<std::uint8_t, 16>;

// Who sends: the component identifier of this installation, the name receivers show and the
// priority receivers merge by.
struct SacnSource {
  SacnCid cid{};
  std::string name;
  std::uint8_t priority = kSacnDefaultPriority;
  friend bool operator==(const SacnSource&, const SacnSource&) = default;
};

// One E1.31 data packet with `slots` channels (1 to 512): the frame where it reaches, 0 beyond.
// A name longer than 63 bytes is cut at a character boundary.
std::vector<std::uint8_t> sacnDataPacket(const SacnSource& source, std::uint16_t universe,
                                         std::uint8_t sequence, std::uint8_t options,
                                         std::span<const std::uint8_t> frame, std::size_t slots);

// 239.255.<universe high byte>.<universe low byte>, in host byte order.
std::uint32_t sacnMulticastGroup(std::uint16_t universe);

// A CID as text (8-4-4-4-12 lowercase hexadecimal digits), and back; nothing for anything else.
std::string cidText(const SacnCid& cid);
std::optional<SacnCid> parseCid(std::string_view text);

}  // namespace solvera::dmx
