// Art-Net output: re-sends the current light frame as ArtDmx over UDP every 50 ms.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/clock.hpp"
#include "common/serial_queue.hpp"
#include "dmx/dmx_request.hpp"

namespace solvera::dmx {

class ArtNetSender {
 public:
  static constexpr std::uint16_t kArtNetPort = 6454;
  static constexpr std::chrono::milliseconds kTickPeriod{50};

  struct StreamKey {
    std::string targetIp;
    std::uint16_t universe = 0;
    friend bool operator==(const StreamKey&, const StreamKey&) = default;
  };

  struct Status {
    std::optional<StreamKey> stream;  // the destination being sent to
    bool timerRunning = false;
    bool socketOpen = false;
  };

  explicit ArtNetSender(Clock& clock = systemClock());
  ~ArtNetSender();  // runs what is queued (a blackout), then closes; sends nothing itself
  ArtNetSender(const ArtNetSender&) = delete;
  ArtNetSender& operator=(const ArtNetSender&) = delete;

  // Makes the request the current stream and sends its first packet before returning; throws
  // ErrorException ("SolveraArtNet") when that packet could not be sent. The stream stays
  // current either way and the timer keeps retrying it.
  void send(const DmxRequest& request);
  // Queued; return at once. stop() sends nothing; blackoutAndStop() sends one all-zero packet
  // to the current destination first.
  void stop();
  void blackoutAndStop();

  // Waits for the queue.
  Status status();
  SerialQueue& queue() { return queue_; }

  class Core;

 private:
  SerialQueue queue_;
  std::shared_ptr<Core> core_;
};

}  // namespace solvera::dmx
