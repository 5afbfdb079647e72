// What the two serial outputs share: one current stream re-sent every 25 ms, port selection,
// re-opening a lost device on later ticks, stop and blackout. Lives on the sender's queue.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "common/clock.hpp"
#include "common/repeating_timer.hpp"
#include "common/serial_queue.hpp"
#include "dmx/dmx_request.hpp"

namespace solvera::dmx {

struct SerialSenderStatus {
  bool streaming = false;
  bool timerRunning = false;
  std::optional<std::string> openPort;            // the device path in use
  std::optional<std::string> selectedSerialPort;  // the validated port of the last request
  std::optional<std::vector<std::uint8_t>> frame;  // the current stream's unmodulated frame
};

class SerialSenderCore : public std::enable_shared_from_this<SerialSenderCore> {
 public:
  static constexpr std::chrono::milliseconds kTickPeriod{25};

  SerialSenderCore(SerialQueue& queue, Clock& clock, std::string deviceDir);
  virtual ~SerialSenderCore() = default;

  void send(const DmxRequest& request);
  void stop();
  void blackoutAndStop();
  // Releases the device; for the owner's destructor, once the queue has stopped.
  void release();
  SerialSenderStatus status() const;

 protected:
  // Opens a port when none is open; throws the sender's ErrorException when none could be.
  virtual void openIfNeeded() = 0;
  // Writes one output frame (any length; the wire format pads or cuts to 512).
  virtual void writeDmxFrame(std::span<const std::uint8_t> frame) = 0;
  virtual void closePort();

  void sendStreamNow();
  void startTimerIfNeeded();

  SerialQueue& queue_;
  Clock& clock_;
  const std::string deviceDir_;
  std::optional<Stream> stream_;
  std::unique_ptr<RepeatingTimer> timer_;
  int fileDescriptor_ = -1;
  std::optional<std::string> selectedSerialPort_;
  std::optional<std::string> currentSerialPort_;  // path of the open port
};

}  // namespace solvera::dmx
