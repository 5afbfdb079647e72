// Enttec DMX USB Pro output: the widget makes the DMX signal; we frame the channel data over
// its serial port, steady light 40 times a second, pulses at their own rate.
#pragma once

#include "common/clock.hpp"
#include "dmx/dmx_output.hpp"
#include "dmx/dmx_request.hpp"
#include "dmx/serial_ports.hpp"
#include "dmx/serial_sender.hpp"

namespace solvera::dmx {

class EnttecDmxUsbProSender {
 public:
  // A missing widget is looked for at most once per this interval.
  static constexpr std::int64_t kOpenRetryNs = 900'000'000;

  // deviceDir: where serial devices appear ("/dev", or $SOLVERA_SERIAL_DIR in tests).
  explicit EnttecDmxUsbProSender(Clock& clock = systemClock(),
                                 std::string deviceDir = serialDeviceDir());
  ~EnttecDmxUsbProSender() = default;  // runs what is queued (a blackout), then closes the port

  // Makes the request the current stream, opens the widget if needed and writes its first
  // frame. Throws ErrorException ("SolveraEnttec", 404 or 429) only when no port could be
  // opened: the request is still the stream, and a later tick sends it once the widget is
  // found. A failed write is retried by later ticks.
  void send(const DmxRequest& request) { output_.send(request); }
  void stop() { output_.stop(); }                        // queued; returns at once
  void blackoutAndStop() { output_.blackoutAndStop(); }  // queued: one all-zero frame if open

  SerialSenderStatus status();  // waits for the queue
  SerialQueue& queue() { return output_.queue(); }
  DmxOutput& output() { return output_; }

  // The widget puts what it is sent on the line as fast as the frame length allows.
  static double maxFramesPerSecond(std::size_t slots);

 private:
  class Transport;
  DmxOutput output_;
};

}  // namespace solvera::dmx
