// Enttec DMX USB Pro output: the widget makes the DMX signal; we frame the channel data
// 40 times a second over its serial port.
#pragma once

#include <memory>

#include "common/clock.hpp"
#include "common/serial_queue.hpp"
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
  ~EnttecDmxUsbProSender();  // runs what is queued (a blackout), then closes the port
  EnttecDmxUsbProSender(const EnttecDmxUsbProSender&) = delete;
  EnttecDmxUsbProSender& operator=(const EnttecDmxUsbProSender&) = delete;

  // Opens the widget if needed, makes the request the current stream and writes its first
  // frame. Throws ErrorException ("SolveraEnttec", 404 or 429) only when no port could be
  // opened; a failed write is retried by later ticks.
  void send(const DmxRequest& request);
  void stop();             // queued; returns at once
  void blackoutAndStop();  // queued: one all-zero frame if the port is open, then stop

  SerialSenderStatus status();  // waits for the queue
  SerialQueue& queue() { return queue_; }

 private:
  class Core;
  SerialQueue queue_;
  std::shared_ptr<Core> core_;
};

}  // namespace solvera::dmx
