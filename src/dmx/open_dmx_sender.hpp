// Open DMX output: a plain FTDI USB serial adapter with an RS-485 driver. We make the DMX
// signal ourselves: break by a slow zero byte, then start code and 512 channels at 250 000 baud.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.hpp"
#include "common/serial_queue.hpp"
#include "dmx/dmx_request.hpp"
#include "dmx/serial_ports.hpp"
#include "dmx/serial_sender.hpp"

namespace solvera::dmx {

class OpenDmxFtdiSender {
 public:
  static constexpr unsigned kDmxBaud = 250'000;
  static constexpr unsigned kBreakBaud = 38'400;

  explicit OpenDmxFtdiSender(Clock& clock = systemClock(), std::string deviceDir = serialDeviceDir());
  ~OpenDmxFtdiSender();  // runs what is queued (a blackout), then closes the port
  OpenDmxFtdiSender(const OpenDmxFtdiSender&) = delete;
  OpenDmxFtdiSender& operator=(const OpenDmxFtdiSender&) = delete;

  // Opens an adapter if needed, makes the request the current stream and writes its first
  // frame. Throws ErrorException ("SolveraOpenDmx", 404) only when no port could be opened.
  void send(const DmxRequest& request);
  void stop();             // queued; returns at once
  void blackoutAndStop();  // queued: one all-zero frame if the port is open, then stop

  // The serial device paths an adapter may be on, best first (a present preferred port first).
  static std::vector<std::string> availablePorts(const std::optional<std::string>& preferredPort,
                                                 const std::string& deviceDir = serialDeviceDir());

  SerialSenderStatus status();  // waits for the queue
  SerialQueue& queue() { return queue_; }

 private:
  class Core;
  SerialQueue queue_;
  std::shared_ptr<Core> core_;
};

}  // namespace solvera::dmx
