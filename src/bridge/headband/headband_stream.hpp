// From the headband's notifications to the bridge's events: EEG readings, band powers four
// times a second, electrode contact, battery and lost packets. Pure: events go to a sink.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "bridge/headband/band_power.hpp"
#include "bridge/headband/muse_protocol.hpp"

namespace solvera::headband {

class HeadbandStream {
 public:
  using Event = nlohmann::ordered_json;
  using Sink = std::function<void(Event)>;

  static constexpr std::size_t kWindowSamples = 256;  // the last second
  static constexpr std::size_t kHopSamples = 64;      // four analyses a second
  static constexpr int kReportEveryHops = 4;          // contact and losses once a second
  // Up to about a second of lost packets is bridged by holding the last value; after a longer
  // gap the window starts again, since a spectrum across it would mean nothing.
  static constexpr std::uint32_t kMaxBridgedPackets = 21;

  explicit HeadbandStream(Sink sink);

  // Notification values, by characteristic. channel is an index into kEegChannels.
  void eeg(std::size_t channel, std::span<const std::uint8_t> value);
  void telemetry(std::span<const std::uint8_t> value);
  void control(std::span<const std::uint8_t> value);

  // A new connection: sequences and windows start again; the loss count goes on.
  void restart();

  std::uint64_t packetsReceived() const { return received_; }
  std::uint64_t packetsLost() const;

 private:
  struct Channel {
    SequenceTracker sequence;
    SampleWindow window{kWindowSamples};
    std::optional<Contact> reported;
  };
  struct Group {
    std::optional<std::uint16_t> sequence;
    std::array<std::optional<EegPacket>, kEegChannels.size()> packets;
  };

  void flushGroup();
  void analyse();
  void battery(double percent);

  Sink sink_;
  SpectrumAnalyzer spectrum_{kWindowSamples};
  std::array<Channel, kEegChannels.size()> channels_;
  Group group_;
  std::size_t samplesSinceAnalysis_ = 0;
  int hops_ = 0;
  std::uint64_t received_ = 0;
  std::uint64_t reportedLost_ = 0;
  std::optional<double> reportedBattery_;
  ControlReplyAssembler replies_;
  std::vector<double> scratch_;
};

}  // namespace solvera::headband
