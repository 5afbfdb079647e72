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

constexpr std::string_view kRequestDomain = "SolveraDmxRequest";

[[noreturn]] void fail(const std::string& detail) {
  throw ErrorException(std::string(kRequestDomain), 400, "Ongeldig DMX-verzoek: " + detail);
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

namespace {

// One output's request from one JSON object.
DmxRequest decodeObject(const Json& object) {
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
  request.sourceName = optionalText(object, "sourceName");
  request.networkInterface = optionalText(object, "interface");

  auto flag = [&](std::string_view key) -> std::optional<bool> {
    const Json* value = member(object, key);
    if (!value) return std::nullopt;
    if (!value->is_boolean()) fail(quoted(key) + " moet waar of onwaar zijn.");
    return value->get<bool>();
  };
  request.shortFrames = flag("shortFrames");
  request.sequencing = flag("sequencing");
  request.sync = flag("sync");
  if (const Json* priority = member(object, "priority")) {
    auto value = integerIn(*priority, 0, 200);
    if (!value) fail("\"priority\" moet een geheel getal van 0 tot 200 zijn.");
    request.priority = static_cast<std::uint8_t>(*value);
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

Json parsedObject(std::string_view json) {
  // The shared parser also refuses absurd nesting; its own text may quote the (not necessarily
  // UTF-8) input, so the message stays ours.
  std::optional<Json> parsed = parseJson(json);
  if (!parsed) fail("geen geldige JSON.");
  if (!parsed->is_object()) fail("verwacht een JSON-object.");
  return std::move(*parsed);
}

}  // namespace

DmxRequest decodeDmxRequest(std::string_view json) { return decodeObject(parsedObject(json)); }

LightRequest decodeLightRequest(std::string_view json) {
  Json object = parsedObject(json);
  auto outputs = object.find("outputs");
  if (outputs == object.end() || outputs->is_null()) return LightRequest{{decodeObject(object)}, false};
  if (!outputs->is_array() || outputs->empty()) fail("\"outputs\" moet een lijst met minstens één uitgang zijn.");
  if (outputs->size() > kMaxLightOutputs) {
    fail("hoogstens " + std::to_string(kMaxLightOutputs) + " uitgangen tegelijk.");
  }
  Json list = std::move(*outputs);
  object.erase("outputs");
  LightRequest request{{}, true};
  for (std::size_t i = 0; i < list.size(); ++i) {
    const std::string name = "uitgang " + std::to_string(i + 1);
    if (!list[i].is_object()) fail(name + " moet een JSON-object zijn.");
    // The output's own keys over the request's shared ones (the frame, the pulse, the page).
    Json merged = object;
    for (auto& [key, value] : list[i].items()) merged[key] = std::move(value);
    try {
      request.outputs.push_back(decodeObject(merged));
    } catch (const ErrorException& e) {
      const std::string& message = e.error().message;
      const std::string prefix = "Ongeldig DMX-verzoek: ";
      fail(name + ": " + (message.starts_with(prefix) ? message.substr(prefix.size()) : message));
    }
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

double pulsePosition(const Stream& stream, std::int64_t nowNs) {
  if (!stream.pulseHz) return 0.0;
  const double cycles = static_cast<double>(nowNs - stream.pulseEpoch) / 1e9 * *stream.pulseHz;
  const double position = cycles - std::floor(cycles);
  return position < 1.0 ? position : 0.0;  // a tiny negative rounds up to exactly 1
}

std::int64_t anchoredEpoch(const PulseAnchor& anchor, double hz, std::int64_t nowNs) {
  const double position = anchor.position - std::floor(anchor.position);
  // Whole cycles back from the anchor until the epoch is no later than now: an anchor may lie
  // ahead (the time a sound will be heard).
  const double ahead = static_cast<double>(anchor.atNs - nowNs) / 1e9 * hz - position;
  const double cycles = position + std::max(0.0, std::ceil(ahead));
  return anchor.atNs - std::llround(cycles / hz * 1e9);
}

bool pulseVaries(const Stream& stream) {
  const auto& channels = stream.request.pulseChannels;
  if (!stream.pulseHz || !channels) return false;
  const auto reach = static_cast<std::int64_t>(std::min(stream.request.dmx.size(), kDmxChannels));
  return std::any_of(channels->begin(), channels->end(), [&](std::int64_t c) {
    return c >= 1 && c <= reach && stream.request.dmx[static_cast<std::size_t>(c - 1)] != 0;
  });
}

std::vector<std::uint8_t> modulateFrame(const Stream& stream, std::int64_t nowNs) {
  if (!stream.pulseHz) return stream.request.dmx;
  return modulateFrameAt(stream, pulsePosition(stream, nowNs));
}

std::vector<std::uint8_t> meanFrame(const Stream& stream) {
  // Only the first 512 values reach a wire, and only the pulsed ones among them change: those
  // are averaged over finely spaced positions, with the same rounding (and the same repeated
  // scaling of a channel listed twice) as the pulsed frames.
  const auto& dmx = stream.request.dmx;
  std::vector<std::uint8_t> frame(dmx.begin(), dmx.begin() + static_cast<std::ptrdiff_t>(
                                                                 std::min(dmx.size(), kDmxChannels)));
  const auto& channels = stream.request.pulseChannels;
  if (!stream.pulseHz || !channels) return frame;
  std::vector<std::size_t> order;  // the list's in-range channels, as 0-based indexes
  for (std::int64_t c : *channels) {
    if (c >= 1 && c <= static_cast<std::int64_t>(frame.size())) order.push_back(static_cast<std::size_t>(c - 1));
  }
  std::vector<std::size_t> distinct = order;
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  std::vector<double> sum(distinct.size(), 0.0);
  std::vector<std::uint8_t> values(distinct.size());
  constexpr int kSteps = 1000;
  for (int i = 0; i < kSteps; ++i) {
    const double m = pulseMultiplier((i + 0.5) / kSteps, stream.pulseShape);
    for (std::size_t k = 0; k < distinct.size(); ++k) values[k] = frame[distinct[k]];
    for (std::size_t c : order) {
      auto& value = values[static_cast<std::size_t>(std::lower_bound(distinct.begin(), distinct.end(), c) -
                                                    distinct.begin())];
      value = static_cast<std::uint8_t>(std::round(std::clamp(static_cast<double>(value) * m, 0.0, 255.0)));
    }
    for (std::size_t k = 0; k < distinct.size(); ++k) sum[k] += values[k];
  }
  for (std::size_t k = 0; k < distinct.size(); ++k) {
    frame[distinct[k]] = static_cast<std::uint8_t>(std::clamp(std::round(sum[k] / kSteps), 0.0, 255.0));
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
