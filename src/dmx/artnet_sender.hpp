// Art-Net output: ArtDmx over UDP; steady light re-sent every 50 ms, pulses at their own rate.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/clock.hpp"
#include "dmx/artnet_target.hpp"
#include "dmx/dmx_output.hpp"
#include "dmx/dmx_request.hpp"

namespace solvera::dmx {

// Where Art-Net packets leave: a UDP socket, or a stand-in that holds them in a test.
class DatagramSocket {
 public:
  virtual ~DatagramSocket() = default;
  // Opens the socket if it is not open; false (errno set) when it cannot be.
  virtual bool open() = 0;
  virtual bool isOpen() const = 0;
  // One datagram; false (errno set) unless it went out whole.
  virtual bool sendTo(const sockaddr_in& to, std::span<const std::uint8_t> bytes) = 0;
  virtual void close() = 0;
  // The interface multicast leaves by (0: the system's choice); false (errno set) when refused.
  virtual bool multicastVia(unsigned /*interfaceIndex*/) { return true; }
};
// A UDP socket that may send to broadcast addresses.
std::unique_ptr<DatagramSocket> udpSocket();

// A diagnosis record of every frame the output is about to send.
class FrameTrace {
 public:
  virtual ~FrameTrace() = default;
  virtual void frame(std::int64_t frameTimeNs, const Stream& stream, std::span<const std::uint8_t> frame) = 0;
};
// The CSV file named by $SOLVERA_DMX_TRACE (read on first use; unset or empty: no trace).
std::unique_ptr<FrameTrace> traceFromEnvironment();

// Art-Net outputs (universes) of one request that release their frames together: nodes that
// hold ArtDmx frames until an ArtSync put the universes out at the same moment.
class ArtSyncGroup {
 public:
  explicit ArtSyncGroup(std::size_t members) : members_(members), in_(members, false) {}

  // Member `member` has sent its frame of frameTimeNs to `node`. Returns the nodes an ArtSync
  // goes to now: those of a round once every member has sent its frame of one moment, or the
  // round so far when a member moves on before the others came (outputs on other rates).
  std::vector<sockaddr_in> sent(std::size_t member, std::int64_t frameTimeNs, const sockaddr_in& node);
  std::size_t members() const { return members_; }

  // Frames within this of each other belong to one moment.
  static constexpr std::int64_t kSameMomentNs = 2'000'000;

 private:
  std::mutex mutex_;
  const std::size_t members_;
  std::vector<bool> in_;  // who has sent in this round
  std::size_t count_ = 0;
  std::int64_t roundNs_ = 0;
  std::vector<sockaddr_in> nodes_;
};

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
    FrameSchedule schedule;
  };

  explicit ArtNetSender(Clock& clock = systemClock());
  // networks: where the machine's own networks come from (the only allowed destinations
  // besides loopback).
  ArtNetSender(Clock& clock, std::unique_ptr<DatagramSocket> socket, std::unique_ptr<FrameTrace> trace,
               std::function<std::vector<LocalNetwork>()> networks = localNetworks);
  ~ArtNetSender() = default;  // runs what is queued (a blackout), then closes; sends nothing itself

  // Makes the request the current stream and sends its first packet before returning; throws
  // ErrorException ("SolveraArtNet") when that packet could not be sent. The stream stays
  // current either way and the timer keeps retrying it.
  void send(const DmxRequest& request) { output_.send(request); }
  // Queued; return at once. stop() sends nothing; blackoutAndStop() sends one all-zero packet
  // to the current destination first.
  void stop() { output_.stop(); }
  void blackoutAndStop() { output_.blackoutAndStop(); }

  // Waits for the queue.
  Status status();
  SerialQueue& queue() { return output_.queue(); }
  DmxOutput& output() { return output_; }

  // How many frames of `slots` channels a node can put on its DMX line per second.
  static double maxFramesPerSecond(std::size_t slots);
  // Art-Net lengths are even, 2 to 512.
  static std::size_t shortSlots(std::size_t highest);

  class Transport;

 private:
  DmxOutput output_;
};

}  // namespace solvera::dmx
