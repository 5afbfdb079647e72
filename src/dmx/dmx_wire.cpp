// ArtDmx packets, USB Pro messages, DMX line frames and trace lines.
#include "dmx/dmx_wire.hpp"

#include <algorithm>
#include <charconv>

namespace solvera::dmx {

std::vector<std::uint8_t> artDmxPacket(std::span<const std::uint8_t> frame, std::uint16_t universe,
                                       std::size_t slots) {
  std::vector<std::uint8_t> packet{'A', 'r', 't', '-', 'N', 'e', 't', 0x00,  // ID
                                   0x00, 0x50,                               // OpDmx, low byte first
                                   0x00, 0x0E,                               // protocol version 14
                                   0x00,                                     // sequence: disabled
                                   0x00,                                     // physical port
                                   static_cast<std::uint8_t>(universe & 0xFF),
                                   static_cast<std::uint8_t>((universe >> 8) & 0x7F),
                                   static_cast<std::uint8_t>(slots >> 8),  // data length, high byte first
                                   static_cast<std::uint8_t>(slots & 0xFF)};
  packet.resize(18 + slots, 0x00);
  std::copy_n(frame.begin(), std::min(frame.size(), slots), packet.begin() + 18);
  return packet;
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
