// Decoding of the headband's notifications and encoding of its commands.
#include "bridge/headband/muse_protocol.hpp"

#include <algorithm>
#include <cctype>

namespace solvera::headband {

namespace {

constexpr const char* kUuidSuffix = "-4c4d-454d-96be-f03bac821358";

struct Known {
  Characteristic c;
  const char* code;
};
constexpr Known kKnown[] = {
    {Characteristic::Control, "0001"},   {Characteristic::Tp9, "0003"},
    {Characteristic::Af7, "0004"},       {Characteristic::Af8, "0005"},
    {Characteristic::Tp10, "0006"},      {Characteristic::RightAux, "0007"},
    {Characteristic::Gyro, "0009"},      {Characteristic::Accel, "000a"},
    {Characteristic::Telemetry, "000b"},
};

}  // namespace

std::string characteristicUuid(Characteristic c) {
  for (const auto& k : kKnown) {
    if (k.c == c) return std::string("273e") + k.code + kUuidSuffix;
  }
  return {};
}

std::optional<Characteristic> characteristicOfUuid(std::string_view uuid) {
  std::string lower(uuid);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
  for (const auto& k : kKnown) {
    if (lower == characteristicUuid(k.c)) return k.c;
  }
  return std::nullopt;
}

std::optional<EegPacket> decodeEegPacket(std::span<const std::uint8_t> bytes) {
  if (bytes.size() != kEegPacketBytes) return std::nullopt;
  EegPacket packet;
  packet.sequence = static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
  // Two samples share three bytes: aaaaaaaa aaaabbbb bbbbbbbb.
  for (std::size_t pair = 0; pair < std::size_t{kSamplesPerPacket} / 2; ++pair) {
    const std::uint8_t* b = bytes.data() + 2 + pair * 3;
    const int first = (b[0] << 4) | (b[1] >> 4);
    const int second = ((b[1] & 0x0F) << 8) | b[2];
    packet.microvolts[2 * pair] = kMicrovoltsPerCount * (first - 2048);
    packet.microvolts[2 * pair + 1] = kMicrovoltsPerCount * (second - 2048);
  }
  return packet;
}

std::optional<double> decodeBatteryPercent(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 4) return std::nullopt;
  const int raw = (bytes[2] << 8) | bytes[3];
  return std::min(100.0, raw / 512.0);
}

std::vector<std::uint8_t> commandBytes(std::string_view command) {
  std::vector<std::uint8_t> out;
  out.reserve(command.size() + 2);
  out.push_back(static_cast<std::uint8_t>(command.size() + 1));
  out.insert(out.end(), command.begin(), command.end());
  out.push_back('\n');
  return out;
}

SequenceTracker::Step SequenceTracker::next(std::uint16_t sequence) {
  Step step;
  if (last_) {
    const std::uint16_t ahead = static_cast<std::uint16_t>(sequence - *last_);
    if (ahead == 0 || ahead >= 0x8000) {
      step.duplicate = true;
      return step;
    }
    step.lost = ahead - 1u;
    lostTotal_ += step.lost;
  }
  last_ = sequence;
  return step;
}

std::vector<std::string> ControlReplyAssembler::add(std::span<const std::uint8_t> bytes) {
  std::vector<std::string> done;
  if (bytes.empty()) return done;
  const std::size_t length = std::min<std::size_t>(bytes[0], bytes.size() - 1);
  text_.append(reinterpret_cast<const char*>(bytes.data() + 1), length);
  // Objects are flat on this characteristic, so a closing brace ends one.
  for (std::size_t close; (close = text_.find('}')) != std::string::npos;) {
    const std::size_t open = text_.rfind('{', close);
    if (open != std::string::npos) done.push_back(text_.substr(open, close - open + 1));
    text_.erase(0, close + 1);
  }
  // A reply that never closes must not grow without end.
  if (text_.size() > 4096) text_.clear();
  return done;
}

}  // namespace solvera::headband
