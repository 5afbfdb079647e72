// What the two serial outputs share: one current stream whatever the request, port selection,
// re-opening a lost device on later ticks, and the all-zero frame at blackout.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/clock.hpp"
#include "dmx/dmx_output.hpp"
#include "dmx/last_light.hpp"

namespace solvera::dmx {

inline constexpr std::chrono::milliseconds kSerialTickPeriod{25};

// Slots of a short serial frame reaching channel `highest`: at least 24, which USB Pro widgets
// and many receivers want.
std::size_t serialShortSlots(std::size_t highest);

struct SerialSenderStatus {
  bool streaming = false;
  bool timerRunning = false;
  std::optional<std::string> openPort;             // the device path in use
  std::optional<std::string> selectedSerialPort;   // the validated port of the last request
  std::optional<std::vector<std::uint8_t>> frame;  // the current stream's unmodulated frame
  FrameSchedule schedule;
};

class SerialTransport : public DmxTransport {
 public:
  SerialTransport(LastLight::Output output, Clock& clock, std::string deviceDir);
  ~SerialTransport() override;

  // A serial output has one stream: every request continues it.
  bool sameStream(const DmxRequest&, const DmxRequest&) const override { return true; }
  void select(const DmxRequest& request) override;
  void write(const Stream& stream, std::span<const std::uint8_t> frame, std::size_t slots,
             std::int64_t frameTimeNs) override;
  // Closes the port, so that a later tick looks for the device again.
  void writeFailed() override { closePort(); }
  bool writesMayStall() const override { return true; }
  void blackout(const Stream* stream) override;
  void close() override { closePort(); }
  std::size_t shortSlots(std::size_t highest) const override { return serialShortSlots(highest); }

  static SerialSenderStatus status(const DmxOutputState& state, DmxTransport& transport);

 protected:
  // Writes one frame of `slots` channels.
  virtual void writeDmxFrame(std::span<const std::uint8_t> frame, std::size_t slots) = 0;
  void closePort();

  LastLight::Slot lastLight_;
  bool lit_ = false;  // the open port has had a frame
  Clock& clock_;
  const std::string deviceDir_;
  int fileDescriptor_ = -1;
  std::optional<std::string> selectedSerialPort_;
  std::optional<std::string> currentSerialPort_;  // path of the open port
};

}  // namespace solvera::dmx
