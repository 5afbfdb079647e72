// Light request bodies as "/dmx" receives them: decoding, the stream an output prepares from
// a request, and the frames its ticks build, at any moment of the pulse.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/error.hpp"
#include "dmx/dmx_request.hpp"
#include "dmx/dmx_wire.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace solvera::dmx;
  std::string_view body(reinterpret_cast<const char*>(data), size);
  DmxRequest request;
  try {
    request = decodeDmxRequest(body);
  } catch (const solvera::ErrorException&) {
    return 0;
  }
  const Stream stream = prepareStream(request, 1'000'000);
  if (stream.pulseHz && !(*stream.pulseHz >= kMinPulseHz && *stream.pulseHz <= kMaxPulseHz)) {
    std::abort();
  }
  // Ticks before the epoch, on it, and far after it (a session left running for years).
  for (std::int64_t now : {std::int64_t{0}, std::int64_t{1'000'000}, std::int64_t{1'012'345'678},
                           std::int64_t{1} << 62}) {
    const auto frame = modulateFrame(stream, now);
    if (frame.size() != request.dmx.size()) std::abort();
    for (std::size_t i = 0; i < frame.size(); ++i) {
      // Pulsing only ever dims a channel.
      if (frame[i] > request.dmx[i]) std::abort();
    }
    // Any list length is accepted; the wire always carries 512 channels, extra ones dropped.
    const auto packet = buildArtDmxPacket(frame, request.universe);
    for (std::size_t i = 0; i < std::min(frame.size(), kDmxChannels); ++i) {
      if (packet[18 + i] != frame[i]) std::abort();
    }
  }
  return 0;
}
