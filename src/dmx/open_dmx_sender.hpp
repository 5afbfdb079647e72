// Open DMX output: a plain FTDI USB serial adapter with an RS-485 driver. We make the DMX
// signal ourselves: break by a slow zero byte, then start code and 512 channels at 250 000 baud.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/clock.hpp"
#include "dmx/dmx_output.hpp"
#include "dmx/dmx_request.hpp"
#include "dmx/serial_ports.hpp"
#include "dmx/serial_sender.hpp"

namespace solvera::dmx {

class OpenDmxFtdiSender {
 public:
  static constexpr unsigned kDmxBaud = 250'000;
  static constexpr unsigned kBreakBaud = 38'400;

  explicit OpenDmxFtdiSender(Clock& clock = systemClock(), std::string deviceDir = serialDeviceDir());
  ~OpenDmxFtdiSender() = default;  // runs what is queued (a blackout), then closes the port

  // Makes the request the current stream, opens an adapter if needed and writes its first
  // frame. Throws ErrorException ("SolveraOpenDmx", 404) only when no port could be opened:
  // the request is still the stream, and a later tick sends it once an adapter is found.
  void send(const DmxRequest& request) { output_.send(request); }
  void stop() { output_.stop(); }                        // queued; returns at once
  void blackoutAndStop() { output_.blackoutAndStop(); }  // queued: one all-zero frame if open

  // The serial device paths an adapter may be on, best first (a present preferred port first).
  static std::vector<std::string> availablePorts(const std::optional<std::string>& preferredPort,
                                                 const std::string& deviceDir = serialDeviceDir());

  SerialSenderStatus status();  // waits for the queue
  SerialQueue& queue() { return output_.queue(); }
  DmxOutput& output() { return output_; }

  // We time the line ourselves: the break, its waits and a frame of `slots` channels, with a
  // margin so that a frame has left the adapter before the next break changes its speed.
  static double maxFramesPerSecond(std::size_t slots);

 private:
  class Transport;
  DmxOutput output_;
};

}  // namespace solvera::dmx
