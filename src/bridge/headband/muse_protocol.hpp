// The headband's wire format: characteristic identities, EEG and telemetry packets, control
// commands and the chunked replies on the control characteristic. No I/O here.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace solvera::headband {

// 16-bit service UUID the headband advertises, in its 128-bit Bluetooth base form.
inline constexpr std::string_view kServiceUuid = "0000fe8d-0000-1000-8000-00805f9b34fb";

enum class Characteristic { Control, Tp9, Af7, Af8, Tp10, RightAux, Gyro, Accel, Telemetry };

// The four EEG electrodes we read, in the headband's channel order.
inline constexpr std::array<Characteristic, 4> kEegChannels = {
    Characteristic::Tp9, Characteristic::Af7, Characteristic::Af8, Characteristic::Tp10};
inline constexpr std::array<const char*, 4> kEegChannelNames = {"TP9", "AF7", "AF8", "TP10"};

// "273e0003-4c4d-454d-96be-f03bac821358" for TP9, and so on (lower case).
std::string characteristicUuid(Characteristic c);
// The characteristic a UUID names (any letter case); nothing for a foreign UUID.
std::optional<Characteristic> characteristicOfUuid(std::string_view uuid);

inline constexpr int kSamplesPerPacket = 12;
inline constexpr int kEegPacketBytes = 20;
inline constexpr double kSampleRateHz = 256.0;
inline constexpr double kMicrovoltsPerCount = 0.48828125;

struct EegPacket {
  std::uint16_t sequence = 0;
  std::array<double, kSamplesPerPacket> microvolts{};
};

// A 20-byte EEG notification: big-endian sequence number, then twelve 12-bit samples packed
// big-endian. Anything of another length is not one.
std::optional<EegPacket> decodeEegPacket(std::span<const std::uint8_t> bytes);

// Battery charge in percent from a telemetry notification (sequence, then charge × 512).
std::optional<double> decodeBatteryPercent(std::span<const std::uint8_t> bytes);

// A control command as written to the control characteristic: one length byte, the ASCII
// text, a line feed ("d" -> 02 64 0a).
std::vector<std::uint8_t> commandBytes(std::string_view command);

// Counts packets lost from a sequence that wraps after 65535. An old or repeated number (a
// step back of less than half the range) is a duplicate, not a loss of 65,000 packets.
class SequenceTracker {
 public:
  struct Step {
    bool duplicate = false;
    std::uint32_t lost = 0;  // packets missing just before this one
  };
  Step next(std::uint16_t sequence);
  void reset() { last_.reset(); }
  std::uint64_t lostTotal() const { return lostTotal_; }

 private:
  std::optional<std::uint16_t> last_;
  std::uint64_t lostTotal_ = 0;
};

// Replies on the control characteristic come as notifications of one length byte and up to
// 19 characters; together they spell JSON objects. Returns each object as it completes.
class ControlReplyAssembler {
 public:
  std::vector<std::string> add(std::span<const std::uint8_t> bytes);

 private:
  std::string text_;
};

}  // namespace solvera::headband
