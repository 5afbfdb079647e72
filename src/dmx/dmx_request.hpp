// The light request record, its strict JSON decoding and the pulse model shared by every output.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace solvera::dmx {

inline constexpr std::size_t kDmxChannels = 512;

class ArtSyncGroup;

// "At monotonic time atNs the waveform is at `position` (0 to below 1)": a player with a clock
// of its own pins the pulse phase to it. Never part of a JSON body.
struct PulseAnchor {
  std::int64_t atNs = 0;
  double position = 0;
  friend bool operator==(const PulseAnchor&, const PulseAnchor&) = default;
};

// One light frame from the web interface. Never changed after decoding.
struct DmxRequest {
  std::optional<std::string> clientId;
  std::optional<std::string> sourceKind;
  std::optional<std::string> outputMode;
  std::optional<std::string> serialPort;
  std::string targetIp;
  std::uint16_t universe = 0;
  std::vector<std::uint8_t> dmx;
  std::optional<double> pulseHz;
  std::optional<std::vector<std::int64_t>> pulseChannels;
  std::optional<std::string> pulseShape;
  // Pulsed frames may stop after the last channel of `dmx` where the line is faster for it.
  std::optional<bool> shortFrames;
  // The sending page's count of its light requests ("seq"), rising with each: requests on
  // separate connections can overtake each other, and the count tells which came last.
  std::optional<std::int64_t> sequence;
  // Where the pulse phase stands; without it the phase counts from the stream's start.
  std::optional<PulseAnchor> pulseAnchor;
  // sACN and OLA: the priority receivers merge sources by (0 to 200).
  std::optional<std::uint8_t> priority;
  // sACN: the name receivers show for this source, and the network interface ("interface":
  // its name or IPv4 address) multicast leaves by.
  std::optional<std::string> sourceName;
  std::optional<std::string> networkInterface;
  // Art-Net: sequence numbers 1 to 255 per universe instead of 0, and an ArtSync after each
  // frame.
  std::optional<bool> sequencing;
  std::optional<bool> sync;
  // Art-Net outputs of one request that release their frames together; set by the router, never
  // part of a JSON body.
  std::shared_ptr<ArtSyncGroup> artSyncGroup;
  std::size_t artSyncMember = 0;

  friend bool operator==(const DmxRequest&, const DmxRequest&) = default;
};

// The frame an output keeps re-sending, with the pulse settings it was prepared with.
struct Stream {
  DmxRequest request;
  std::int64_t pulseEpoch = 0;  // monotonic ns at which the waveform is at position 0
  std::optional<double> pulseHz;
  std::string pulseShape;
};

inline constexpr double kMinPulseHz = 0.1;
inline constexpr double kMaxPulseHz = 40.0;

// A light request for one output or several ("outputs": a list of objects with the keys of a
// single request, each taking the keys it leaves out from the request itself).
struct LightRequest {
  std::vector<DmxRequest> outputs;
  bool several = false;  // the body listed its outputs
};
inline constexpr std::size_t kMaxLightOutputs = 8;

// Decodes one JSON body. Anything out of range, fractional where an integer belongs, of the
// wrong type or missing fails the whole request with ErrorException (nothing is clamped here);
// JSON null stands for an absent optional member.
DmxRequest decodeDmxRequest(std::string_view json);
// Decodes a body with or without "outputs"; a fault in one output fails the whole request and
// names the output ("Uitgang 2: ..."). At most kMaxLightOutputs outputs.
LightRequest decodeLightRequest(std::string_view json);

// The stream for a request: pulse frequency clamped to 0.1..40 Hz, unknown shapes as "square".
Stream prepareStream(DmxRequest request, std::int64_t pulseEpochNs);

// The waveform's multiplier, 0..1, at position 0 <= p < 1 of a period.
double pulseMultiplier(double position, std::string_view shape);

// The waveform position (0 to below 1) of the stream at nowNs; before the epoch too.
double pulsePosition(const Stream& stream, std::int64_t nowNs);
// The epoch (position 0) that puts the waveform at anchor.position at anchor.atNs at this
// rate; the latest such epoch not after nowNs.
std::int64_t anchoredEpoch(const PulseAnchor& anchor, double hz, std::int64_t nowNs);
// Whether the pulse changes anything on a wire: a rate, and a pulse channel that reaches a lit
// value among the first 512.
bool pulseVaries(const Stream& stream);

// The output frame of one tick: the request's frame with the pulse channels scaled by the
// waveform at now. Keeps the request's own length; callers pad or cut to 512.
std::vector<std::uint8_t> modulateFrame(const Stream& stream, std::int64_t nowNs);
// The same at a waveform position 0 <= p < 1 (a frame locked to the pulse phase).
std::vector<std::uint8_t> modulateFrameAt(const Stream& stream, double position);
// Steady light at the level the pulsed frame averages to over a cycle; at most 512 channels,
// the most a wire carries.
std::vector<std::uint8_t> meanFrame(const Stream& stream);

}  // namespace solvera::dmx
