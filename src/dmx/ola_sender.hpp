// OLA output: one universe's frames handed to a running olad (the Open Lighting Architecture
// daemon) through its client library; olad puts them on whatever the user has patched to that
// universe (USB devices, KiNET, ESP, ...). Steady light re-sent every 50 ms, pulses at their own
// rate.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "common/clock.hpp"
#include "dmx/dmx_output.hpp"
#include "dmx/dmx_request.hpp"
#include "dmx/frame_schedule.hpp"

namespace solvera::dmx {

class OlaSender {
 public:
  static constexpr std::chrono::milliseconds kTickPeriod{50};
  static constexpr std::uint16_t kDefaultPort = 9010;
  // olad is looked for at most once per this interval while it is missing.
  static constexpr std::int64_t kConnectRetryNs = 1'000'000'000;

  // port: olad's RPC port ($SOLVERA_OLA_PORT when set, else 9010).
  explicit OlaSender(Clock& clock = systemClock(), std::uint16_t port = portFromEnvironment());

  // Makes the request the current stream and hands its first frame to olad. Throws
  // ErrorException ("SolveraOla": 503 when olad does not run, 404 when it has no such universe,
  // 501 in a build without OLA); the request stays the stream and is sent once olad is there.
  void send(const DmxRequest& request) { output_.send(request); }
  void stop() { output_.stop(); }
  void blackoutAndStop() { output_.blackoutAndStop(); }

  struct Status {
    std::optional<unsigned> universe;
    bool connected = false;
    bool timerRunning = false;
    FrameSchedule schedule;
  };
  Status status();  // waits for the queue
  DmxOutput& output() { return output_; }

  // Whether this build has the OLA client library.
  static bool available();
  static std::uint16_t portFromEnvironment();
  // olad's output devices are DMX lines.
  static double maxFramesPerSecond(std::size_t slots);

  class Transport;

 private:
  DmxOutput output_;
};

// One all-zero frame to an OLA universe, for the watcher after the program died; false when
// olad could not be reached (or this build has no OLA).
bool darkenOlaUniverse(std::uint16_t port, unsigned universe);

}  // namespace solvera::dmx
