// Strict decoding of light requests, stream preparation and the pulse waveforms.
#include "dmx/dmx_request.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "common/error.hpp"
#include "common/json.hpp"

namespace solvera::dmx {
namespace {

constexpr std::string_view kDomain = "SolveraDmxRequest";

[[noreturn]] void fail(const std::string& detail) {
  throw ErrorException(std::string(kDomain), 400, "Ongeldig DMX-verzoek: " + detail);
}

std::string quoted(std::string_view key) { return "\"" + std::string(key) + "\""; }

// An integer within [min, max]. Integral floats such as 3.0 or 1e2 count as integers; a
// fraction never does, and nothing is clamped.
std::optional<std::int64_t> integerIn(const Json& value, std::int64_t min, std::int64_t max) {
  if (value.is_number_unsigned()) {
    auto u = value.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(max)) return std::nullopt;
    return static_cast<std::int64_t>(u);
  }
  if (value.is_number_integer()) {
    auto i = value.get<std::int64_t>();
    if (i < min || i > max) return std::nullopt;
    return i;
  }
  if (value.is_number_float()) {
    double d = value.get<double>();
    // 2^63 is the first double beyond the int64 range.
    if (!std::isfinite(d) || d != std::trunc(d) || d < -9.223372036854775808e18 ||
        d >= 9.223372036854775808e18) {
      return std::nullopt;
    }
    auto i = static_cast<std::int64_t>(d);
    if (i < min || i > max) return std::nullopt;
    return i;
  }
  return std::nullopt;
}

const Json* member(const Json& object, std::string_view key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return nullptr;
  return &*it;
}

const Json& required(const Json& object, std::string_view key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) fail(quoted(key) + " ontbreekt.");
  return *it;
}

std::optional<std::string> optionalText(const Json& object, std::string_view key) {
  const Json* value = member(object, key);
  if (!value) return std::nullopt;
  if (!value->is_string()) fail(quoted(key) + " moet een tekst zijn.");
  return value->get<std::string>();
}

}  // namespace

DmxRequest decodeDmxRequest(std::string_view json) {
  // The shared parser also refuses absurd nesting; its own text may quote the (not necessarily
  // UTF-8) input, so the message stays ours.
  std::optional<Json> parsed = parseJson(json);
  if (!parsed) fail("geen geldige JSON.");
  const Json& object = *parsed;
  if (!object.is_object()) fail("verwacht een JSON-object.");

  DmxRequest request;
  const Json& targetIp = required(object, "targetIp");
  if (!targetIp.is_string()) fail("\"targetIp\" moet een tekst zijn.");
  request.targetIp = targetIp.get<std::string>();

  auto universe = integerIn(required(object, "universe"), 0, 65535);
  if (!universe) fail("\"universe\" moet een geheel getal van 0 tot 65535 zijn.");
  request.universe = static_cast<std::uint16_t>(*universe);

  const Json& dmx = required(object, "dmx");
  if (!dmx.is_array()) fail("\"dmx\" moet een lijst zijn.");
  request.dmx.reserve(dmx.size());
  for (std::size_t i = 0; i < dmx.size(); ++i) {
    auto value = integerIn(dmx[i], 0, 255);
    if (!value) {
      fail("\"dmx\" element " + std::to_string(i) + " moet een geheel getal van 0 tot 255 zijn.");
    }
    request.dmx.push_back(static_cast<std::uint8_t>(*value));
  }

  request.clientId = optionalText(object, "clientId");
  request.sourceKind = optionalText(object, "sourceKind");
  request.outputMode = optionalText(object, "outputMode");
  request.serialPort = optionalText(object, "serialPort");
  request.pulseShape = optionalText(object, "pulseShape");

  if (const Json* shortFrames = member(object, "shortFrames")) {
    if (!shortFrames->is_boolean()) fail("\"shortFrames\" moet waar of onwaar zijn.");
    request.shortFrames = shortFrames->get<bool>();
  }
  if (const Json* sequence = member(object, "seq")) {
    request.sequence = integerIn(*sequence, 0, std::numeric_limits<std::int64_t>::max());
    if (!request.sequence) fail("\"seq\" moet een geheel getal van 0 of meer zijn.");
  }
  if (const Json* hz = member(object, "pulseHz")) {
    if (!hz->is_number()) fail("\"pulseHz\" moet een getal zijn.");
    request.pulseHz = hz->get<double>();
  }
  if (const Json* channels = member(object, "pulseChannels")) {
    if (!channels->is_array()) fail("\"pulseChannels\" moet een lijst zijn.");
    std::vector<std::int64_t> list;
    list.reserve(channels->size());
    for (std::size_t i = 0; i < channels->size(); ++i) {
      auto value = integerIn((*channels)[i], std::numeric_limits<std::int64_t>::min(),
                             std::numeric_limits<std::int64_t>::max());
      if (!value) {
        fail("\"pulseChannels\" element " + std::to_string(i) + " moet een geheel getal zijn.");
      }
      list.push_back(*value);
    }
    request.pulseChannels = std::move(list);
  }
  return request;
}

Stream prepareStream(DmxRequest request, std::int64_t pulseEpochNs) {
  Stream stream;
  if (request.pulseHz) stream.pulseHz = std::min(std::max(*request.pulseHz, kMinPulseHz), kMaxPulseHz);
  const auto& shape = request.pulseShape;
  bool known = shape && (*shape == "sine" || *shape == "triangle" || *shape == "square" ||
                         *shape == "trapezoid" || *shape == "sawtooth");
  stream.pulseShape = known ? *shape : "square";
  stream.pulseEpoch = pulseEpochNs;
  stream.request = std::move(request);
  return stream;
}

double pulseMultiplier(double p, std::string_view shape) {
  if (shape == "sine") return 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * p);
  if (shape == "triangle") return p < 0.5 ? 2.0 * p : 2.0 * (1.0 - p);
  if (shape == "trapezoid") {
    if (p < 0.2) return p / 0.2;
    if (p < 0.6) return 1.0;
    if (p < 0.8) return (0.8 - p) / 0.2;
    return 0.0;
  }
  if (shape == "sawtooth") return p;
  return p < 0.5 ? 1.0 : 0.0;
}

std::vector<std::uint8_t> modulateFrame(const Stream& stream, std::int64_t nowNs) {
  if (!stream.pulseHz) return stream.request.dmx;
  // The epoch comes from the same monotonic clock; a clock that stepped back reads as 0.
  std::int64_t elapsed = std::max<std::int64_t>(0, nowNs - stream.pulseEpoch);
  double position = std::fmod(static_cast<double>(elapsed) / 1'000'000'000.0 * *stream.pulseHz, 1.0);
  return modulateFrameAt(stream, position);
}

std::vector<std::uint8_t> meanFrame(const Stream& stream) {
  // Averaged over finely spaced positions, through the same modulation, so that repeated
  // channels and the rounding come out as the pulsed frames would.
  constexpr int kSteps = 1000;
  std::vector<double> sum(stream.request.dmx.size(), 0.0);
  for (int i = 0; i < kSteps; ++i) {
    auto frame = modulateFrameAt(stream, (i + 0.5) / kSteps);
    for (std::size_t c = 0; c < frame.size(); ++c) sum[c] += frame[c];
  }
  std::vector<std::uint8_t> frame(sum.size());
  for (std::size_t c = 0; c < sum.size(); ++c) {
    frame[c] = static_cast<std::uint8_t>(std::clamp(std::round(sum[c] / kSteps), 0.0, 255.0));
  }
  return frame;
}

std::vector<std::uint8_t> modulateFrameAt(const Stream& stream, double position) {
  std::vector<std::uint8_t> frame = stream.request.dmx;
  const auto& channels = stream.request.pulseChannels;
  if (!stream.pulseHz || !channels || channels->empty()) return frame;
  double m = pulseMultiplier(position, stream.pulseShape);
  const auto size = static_cast<std::int64_t>(frame.size());
  for (std::int64_t c : *channels) {
    if (c < 1 || c > size) continue;
    auto& value = frame[static_cast<std::size_t>(c - 1)];
    double scaled = std::clamp(static_cast<double>(value) * m, 0.0, 255.0);
    value = static_cast<std::uint8_t>(std::round(scaled));  // halves away from zero
  }
  return frame;
}

}  // namespace solvera::dmx
