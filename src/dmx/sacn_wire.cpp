// E1.31 packet layout.
#include "dmx/sacn_wire.hpp"

#include <algorithm>
#include <cstdio>

namespace solvera::dmx {
namespace {

// A PDU's flags (high nibble 0x7: vector, header and data present) and the length from the
// PDU's first byte to the end of the packet.
void flagsAndLength(std::vector<std::uint8_t>& packet, std::size_t at) {
  const std::size_t length = packet.size() - at;
  packet[at] = static_cast<std::uint8_t>(0x70 | ((length >> 8) & 0x0F));
  packet[at + 1] = static_cast<std::uint8_t>(length & 0xFF);
}

void put16(std::vector<std::uint8_t>& packet, std::size_t at, std::uint16_t value) {
  packet[at] = static_cast<std::uint8_t>(value >> 8);
  packet[at + 1] = static_cast<std::uint8_t>(value & 0xFF);
}

void put32(std::vector<std::uint8_t>& packet, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) packet[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

// The longest prefix of at most `limit` bytes that does not end inside a UTF-8 character.
std::size_t utf8Prefix(const std::string& text, std::size_t limit) {
  if (text.size() <= limit) return text.size();
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return end;
}

}  // namespace

std::vector<std::uint8_t> sacnDataPacket(const SacnSource& source, std::uint16_t universe,
                                         std::uint8_t sequence, std::uint8_t options,
                                         std::span<const std::uint8_t> frame, std::size_t slots) {
  slots = std::clamp<std::size_t>(slots, 1, kDmxChannels);
  std::vector<std::uint8_t> packet(kSacnHeaderBytes + slots, 0x00);
  // Root layer.
  put16(packet, 0, 0x0010);  // preamble size
  put16(packet, 2, 0x0000);  // post-amble size
  const char identifier[12] = {'A', 'S', 'C', '-', 'E', '1', '.', '1', '7', 0, 0, 0};
  std::copy(std::begin(identifier), std::end(identifier), packet.begin() + 4);
  flagsAndLength(packet, 16);
  put32(packet, 18, 0x00000004);  // VECTOR_ROOT_E131_DATA
  std::copy(source.cid.begin(), source.cid.end(), packet.begin() + 22);
  // Framing layer.
  flagsAndLength(packet, 38);
  put32(packet, 40, 0x00000002);  // VECTOR_E131_DATA_PACKET
  const std::size_t nameBytes = utf8Prefix(source.name, kSacnSourceNameBytes - 1);
  std::copy_n(source.name.begin(), nameBytes, packet.begin() + 44);
  packet[108] = std::min(source.priority, kSacnMaxPriority);
  put16(packet, 109, 0);  // synchronization address: none
  packet[kSacnSequenceOffset] = sequence;
  packet[kSacnOptionsOffset] = options;
  put16(packet, 113, universe);
  // DMP layer.
  flagsAndLength(packet, 115);
  packet[117] = 0x02;  // VECTOR_DMP_SET_PROPERTY
  packet[118] = 0xA1;  // address and data type
  put16(packet, 119, 0x0000);  // first property address
  put16(packet, 121, 0x0001);  // address increment
  put16(packet, 123, static_cast<std::uint16_t>(slots + 1));  // start code and channels
  packet[125] = 0x00;  // start code
  std::copy_n(frame.begin(), std::min(frame.size(), slots), packet.begin() + kSacnHeaderBytes);
  return packet;
}

std::uint32_t sacnMulticastGroup(std::uint16_t universe) { return 0xEFFF0000U | universe; }

std::string cidText(const SacnCid& cid) {
  std::string text;
  char digits[3];
  for (std::size_t i = 0; i < cid.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    std::snprintf(digits, sizeof digits, "%02x", cid[i]);
    text += digits;
  }
  return text;
}

std::optional<SacnCid> parseCid(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  SacnCid cid{};
  std::size_t byte = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    auto nibble = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    const int high = nibble(text[i]), low = nibble(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    cid[byte++] = static_cast<std::uint8_t>(high << 4 | low);
    i += 2;
  }
  return cid;
}

}  // namespace solvera::dmx
