// sACN (E1.31) output: one universe's frames to its multicast group on a chosen interface, or to
// one address; steady light re-sent every 50 ms, pulses at their own rate, the stream ended with
// three stream-terminated packets.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.hpp"
#include "dmx/artnet_sender.hpp"
#include "dmx/artnet_target.hpp"
#include "dmx/dmx_output.hpp"
#include "dmx/sacn_wire.hpp"

namespace solvera::dmx {

inline constexpr const char* kDefaultSacnSourceName = "Solvera Pro Audio+Light";

// This installation's CID: made once and kept in <data>/Solvera Pro/sacn-cid (written
// atomically), read once per process. Receivers tell sources apart by it, so it must not change
// from run to run.
SacnCid installationCid();
// The CID kept in a file, made (a random UUID) and written when the file holds none.
SacnCid keptCid(const std::filesystem::path& file);

// A network interface multicast may leave by.
struct MulticastInterface {
  unsigned index = 0;
  std::string name;
  std::string address;  // its IPv4 address, dotted
};
// The interfaces that are up, have an IPv4 address and do multicast.
std::vector<MulticastInterface> multicastInterfaces();
// The interface a text names (by name or by address). Throws ErrorException ("SolveraSacn", 400)
// when this machine has none such.
MulticastInterface chosenInterface(const std::string& text);

class SacnSender {
 public:
  static constexpr std::chrono::milliseconds kTickPeriod{50};
  // Packets with the stream-terminated option that end a stream.
  static constexpr int kTerminatedPackets = 3;

  struct Status {
    std::optional<std::uint16_t> universe;
    std::string destination;  // dotted address the frames go to
    bool timerRunning = false;
    FrameSchedule schedule;
  };

  explicit SacnSender(Clock& clock = systemClock());
  // cid: this sender's component identifier, asked for at the first packet.
  SacnSender(Clock& clock, std::unique_ptr<DatagramSocket> socket, std::function<SacnCid()> cid,
             std::function<std::vector<LocalNetwork>()> networks = localNetworks);

  void send(const DmxRequest& request) { output_.send(request); }
  void stop() { output_.stop(); }
  void blackoutAndStop() { output_.blackoutAndStop(); }

  Status status();  // waits for the queue
  DmxOutput& output() { return output_; }

  // Receivers put what they take on a DMX line.
  static double maxFramesPerSecond(std::size_t slots);
  static std::size_t shortSlots(std::size_t highest);

  class Transport;

 private:
  DmxOutput output_;
};

}  // namespace solvera::dmx
