// ArtDmx packets, USB Pro messages, DMX line frames and trace lines.
#include "dmx/dmx_wire.hpp"

#include <algorithm>
#include <charconv>
#include <iterator>

namespace solvera::dmx {

std::vector<std::uint8_t> artDmxPacket(std::span<const std::uint8_t> frame, std::uint16_t universe,
                                       std::size_t slots, std::uint8_t sequence) {
  std::vector<std::uint8_t> packet{'A', 'r', 't', '-', 'N', 'e', 't', 0x00,  // ID
                                   0x00, 0x50,                               // OpDmx, low byte first
                                   0x00, 0x0E,                               // protocol version 14
                                   sequence,                                 // 0: not sequenced
                                   0x00,                                     // physical port
                                   static_cast<std::uint8_t>(universe & 0xFF),
                                   static_cast<std::uint8_t>((universe >> 8) & 0x7F),
                                   static_cast<std::uint8_t>(slots >> 8),  // data length, high byte first
                                   static_cast<std::uint8_t>(slots & 0xFF)};
  packet.resize(18 + slots, 0x00);
  std::copy_n(frame.begin(), std::min(frame.size(), slots), packet.begin() + 18);
  return packet;
}

std::array<std::uint8_t, kArtSyncPacketBytes> artSyncPacket() {
  return {'A', 'r', 't', '-', 'N', 'e', 't', 0x00,  // ID
          0x00, 0x52,                               // OpSync, low byte first
          0x00, 0x0E,                               // protocol version 14
          0x00, 0x00};                              // Aux1, Aux2
}

std::array<std::uint8_t, kArtPollPacketBytes> artPollPacket() {
  return {'A', 'r', 't', '-', 'N', 'e', 't', 0x00,  // ID
          0x00, 0x20,                               // OpPoll, low byte first
          0x00, 0x0E,                               // protocol version 14
          0x00,                                     // flags: reply only when asked, no diagnostics
          0x00};                                    // diagnostics priority (unused)
}

namespace {

// A fixed-size text field: up to its first NUL, printable ASCII only (nodes fill names with
// whatever their firmware holds).
std::string textField(std::span<const std::uint8_t> packet, std::size_t at, std::size_t size) {
  std::string text;
  for (std::size_t i = at; i < at + size && i < packet.size() && packet[i] != 0; ++i) {
    const char c = static_cast<char>(packet[i]);
    text += c >= 0x20 && c < 0x7F ? c : '?';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace

std::optional<ArtNode> parseArtPollReply(std::span<const std::uint8_t> packet) {
  static constexpr std::uint8_t kId[8] = {'A', 'r', 't', '-', 'N', 'e', 't', 0x00};
  if (packet.size() < kArtPollReplyMinBytes || !std::equal(std::begin(kId), std::end(kId), packet.begin())) {
    return std::nullopt;
  }
  if (packet[8] != 0x00 || packet[9] != 0x21) return std::nullopt;  // OpPollReply
  auto at = [&](std::size_t i) -> std::uint8_t { return i < packet.size() ? packet[i] : 0; };
  ArtNode node;
  node.address = static_cast<std::uint32_t>(packet[10]) << 24 | static_cast<std::uint32_t>(packet[11]) << 16 |
                 static_cast<std::uint32_t>(packet[12]) << 8 | packet[13];
  node.shortName = textField(packet, 26, 18);
  node.longName = textField(packet, 44, 64);
  node.report = textField(packet, 108, 64);
  const unsigned ports = std::min<unsigned>(4, static_cast<unsigned>(packet[172]) << 8 | packet[173]);
  const std::uint16_t net = static_cast<std::uint16_t>((packet[18] & 0x7F) << 8);
  const std::uint16_t subnet = static_cast<std::uint16_t>((packet[19] & 0x0F) << 4);
  for (unsigned i = 0; i < ports; ++i) {
    const bool outputs = (packet[174 + i] & 0x80) != 0;  // PortTypes: the port puts DMX out
    if (outputs) node.universes.push_back(static_cast<std::uint16_t>(net | subnet | (packet[190 + i] & 0x0F)));
  }
  node.bindIndex = at(211);
  return node;
}

ArtDmxPacket buildArtDmxPacket(std::span<const std::uint8_t> frame, std::uint16_t universe) {
  const auto bytes = artDmxPacket(frame, universe, kDmxChannels);
  ArtDmxPacket packet;
  std::copy(bytes.begin(), bytes.end(), packet.begin());
  return packet;
}

std::vector<std::uint8_t> dmxPayload(std::span<const std::uint8_t> frame, std::size_t slots) {
  std::vector<std::uint8_t> payload(1 + slots, 0x00);  // start code 0x00, channels 0 unless the frame reaches them
  std::copy_n(frame.begin(), std::min(frame.size(), slots), payload.begin() + 1);
  return payload;
}

DmxPayload dmxPayload(std::span<const std::uint8_t> frame) {
  const auto bytes = dmxPayload(frame, kDmxChannels);
  DmxPayload payload;
  std::copy(bytes.begin(), bytes.end(), payload.begin());
  return payload;
}

std::vector<std::uint8_t> usbProMessage(std::uint8_t label, std::span<const std::uint8_t> payload) {
  std::vector<std::uint8_t> message;
  message.reserve(payload.size() + 5);
  message.push_back(0x7E);
  message.push_back(label);
  message.push_back(static_cast<std::uint8_t>(payload.size() & 0xFF));
  message.push_back(static_cast<std::uint8_t>((payload.size() >> 8) & 0xFF));
  message.insert(message.end(), payload.begin(), payload.end());
  message.push_back(0xE7);
  return message;
}

std::string shortestDecimal(double value) {
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text(buffer, ec == std::errc() ? end : buffer);
  if (text.find_first_of(".eEn") == std::string::npos) text += ".0";  // n: inf, nan
  return text;
}

std::string traceLine(std::int64_t nowNs, const Stream& stream, std::span<const std::uint8_t> frame) {
  const auto& request = stream.request;
  std::string line = std::to_string(nowNs);
  line += ',';
  line += request.targetIp;
  line += ',';
  line += std::to_string(request.universe);
  line += ',';
  line += shortestDecimal(stream.pulseHz.value_or(0.0));
  line += ',';
  line += stream.pulseShape;
  line += ',';
  if (request.pulseChannels) {
    for (std::size_t i = 0; i < request.pulseChannels->size(); ++i) {
      if (i) line += '|';
      line += std::to_string((*request.pulseChannels)[i]);
    }
  }
  line += ',';
  for (std::size_t i = 0; i < std::min<std::size_t>(frame.size(), 32); ++i) {
    if (i) line += '|';
    line += std::to_string(frame[i]);
  }
  line += '\n';
  return line;
}

}  // namespace solvera::dmx
