// Fixture layouts, frames and requests for the light of the moment.
#include "session/light_look.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "session/js_values.hpp"

namespace solvera::session {
namespace {

using R = ChannelRole;
constexpr std::array kRgb{R::r, R::g, R::b};
constexpr std::array kRgbw{R::r, R::g, R::b, R::w};
constexpr std::array kDrgb{R::dim, R::r, R::g, R::b};
constexpr std::array kDrgbw{R::dim, R::r, R::g, R::b, R::w};
constexpr std::array kRgbd{R::r, R::g, R::b, R::dim};
constexpr std::array kRgbwd{R::r, R::g, R::b, R::w, R::dim};
constexpr std::array kDimmer{R::dim};

constexpr std::array<std::string_view, 5> kOutputModes{"artnet", "sacn", "enttec-usb-pro", "open-dmx-ftdi", "ola"};
constexpr std::array<std::string_view, 5> kPulseShapes{"sine", "triangle", "square", "trapezoid", "sawtooth"};
constexpr int kChannels = static_cast<int>(dmx::kDmxChannels);

int intIn(const Json* value, int lo, int hi, int fallback) {
  const double n = jsNumber(value);
  return std::isfinite(n) && n == std::trunc(n) && n >= lo && n <= hi ? static_cast<int>(n) : fallback;
}

std::uint8_t byteOf(double v) { return static_cast<std::uint8_t>(jsRound(std::min(255.0, std::max(0.0, v)))); }

bool oneOf(std::string_view word, std::span<const std::string_view> list) {
  return std::find(list.begin(), list.end(), word) != list.end();
}

bool validHost(std::string_view host, bool allowEmpty) {
  if (host.empty()) return allowEmpty;
  return std::all_of(host.begin(), host.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
  });
}

struct Fixture {
  std::array<int, 5> channel{};  // by role; 0 where the fixture has none
  bool has(ChannelRole role) const { return channel[static_cast<std::size_t>(role)] != 0; }
  int at(ChannelRole role) const { return channel[static_cast<std::size_t>(role)]; }
};

std::vector<Fixture> fixtureChannels(const FixtureLayout& layout) {
  const auto order = channelLayout(layout.channelLayout).value_or(std::span<const ChannelRole>(kRgb));
  std::vector<Fixture> fixtures;
  for (int i = 0; i < layout.fixtureCount; ++i) {
    const int first = layout.startAddress + i * layout.channelSpacing;
    if (first + static_cast<int>(order.size()) - 1 > kChannels) break;
    Fixture f;
    for (std::size_t offset = 0; offset < order.size(); ++offset) {
      f.channel[static_cast<std::size_t>(order[offset])] = first + static_cast<int>(offset);
    }
    fixtures.push_back(f);
  }
  return fixtures;
}

FixtureLayout normalized(int startAddress, std::string_view word, int fixtureCount, int spacing) {
  FixtureLayout layout;
  layout.channelLayout = channelLayout(word) ? std::string(word) : "rgb";
  const int footprint = static_cast<int>(channelLayout(layout.channelLayout)->size());
  layout.startAddress = startAddress;
  layout.fixtureCount = fixtureCount;
  // 0 (or anything smaller than the fixture) packs the fixtures back to back.
  layout.channelSpacing = spacing >= footprint ? spacing : footprint;
  return layout;
}

}  // namespace

std::optional<std::span<const ChannelRole>> channelLayout(std::string_view word) {
  if (word == "rgb") return kRgb;
  if (word == "rgbw") return kRgbw;
  if (word == "drgb") return kDrgb;
  if (word == "drgbw") return kDrgbw;
  if (word == "rgbd") return kRgbd;
  if (word == "rgbwd") return kRgbwd;
  if (word == "dimmer") return kDimmer;
  return std::nullopt;
}

FixtureLayout normalizeFixtureLayout(const Json& raw) {
  const Json* word = memberOf(raw, "channelLayout");
  return normalized(intIn(memberOf(raw, "startAddress"), 1, kChannels, 1),
                    word != nullptr && word->is_string() ? word->get_ref<const std::string&>() : "",
                    intIn(memberOf(raw, "fixtureCount"), 1, kChannels, 1),
                    intIn(memberOf(raw, "channelSpacing"), 0, kChannels, 0));
}

FixtureLayout fixtureLayoutOf(const LightSettings& light) {
  auto within = [](int v, int lo, int hi, int fallback) { return v >= lo && v <= hi ? v : fallback; };
  return normalized(within(light.startAddress, 1, kChannels, 1), light.channelLayout,
                    within(light.fixtureCount, 1, kChannels, 1), within(light.channelSpacing, 0, kChannels, 0));
}

DmxFrame buildDmxFrame(const FixtureLayout& layout, const LightLook& look) {
  const std::vector<Fixture> fixtures = fixtureChannels(layout);
  const bool hasWhite = !fixtures.empty() && fixtures.front().has(R::w);
  const bool hasColour = !fixtures.empty() && fixtures.front().has(R::r);
  const std::uint8_t white = byteOf(look.white);
  const std::uint8_t r = byteOf(look.r + (hasWhite ? 0 : white));
  const std::uint8_t g = byteOf(look.g + (hasWhite ? 0 : white));
  const std::uint8_t b = byteOf(look.b + (hasWhite ? 0 : white));
  const bool lit = r > 0 || g > 0 || b > 0 || white > 0;
  int length = 0;
  for (const Fixture& f : fixtures) length = std::max(length, *std::max_element(f.channel.begin(), f.channel.end()));
  DmxFrame frame;
  frame.dmx.assign(static_cast<std::size_t>(length), 0);
  auto set = [&](int channel, std::uint8_t value) { frame.dmx[static_cast<std::size_t>(channel - 1)] = value; };
  for (const Fixture& f : fixtures) {
    if (f.has(R::r)) {
      set(f.at(R::r), r);
      set(f.at(R::g), g);
      set(f.at(R::b), b);
    }
    if (f.has(R::w)) set(f.at(R::w), white);
    if (f.has(R::dim)) {
      set(f.at(R::dim), hasColour ? (lit ? 255 : 0) : std::max({r, g, b, white}));
      frame.pulseChannels.push_back(f.at(R::dim));
    } else {
      frame.pulseChannels.insert(frame.pulseChannels.end(), {f.at(R::r), f.at(R::g), f.at(R::b)});
      if (f.has(R::w)) frame.pulseChannels.push_back(f.at(R::w));
    }
  }
  return frame;
}

LightLook lightLook(const TimelineValues& v, double envelope, const Controls& controls) {
  const double rgbLevel = (v.rgbIntensity / 100) * (controls.rgbIntensity / 100) * envelope;
  const double whiteLevel = (v.whiteIntensity / 100) * (controls.whiteIntensity / 100) * envelope;
  return LightLook{byteOf(v.r * rgbLevel), byteOf(v.g * rgbLevel), byteOf(v.b * rgbLevel), byteOf(255 * whiteLevel)};
}

dmx::DmxRequest buildDmxRequest(const LightSettings& output, const DmxFrame& frame,
                                const std::optional<LightPulse>& pulse, std::string_view clientId) {
  dmx::DmxRequest request;
  const std::string mode = oneOf(output.outputMode, kOutputModes) ? output.outputMode : "artnet";
  request.clientId = std::string(clientId);
  request.sourceKind = "session";
  request.outputMode = mode;
  // The decoder wants an address and universe for every mode; serial outputs and OLA ignore the
  // address, and sACN without one goes to the universe's multicast group.
  request.targetIp = output.targetIp.empty() && mode != "sacn" ? "127.0.0.1" : output.targetIp;
  const int highest = mode == "artnet" ? 32767 : 63999;
  const int lowest = mode == "sacn" ? 1 : 0;
  request.universe = static_cast<std::uint16_t>(std::clamp(output.universe, lowest, highest));
  request.dmx = frame.dmx;
  if ((mode == "enttec-usb-pro" || mode == "open-dmx-ftdi") && !output.serialPort.empty()) {
    request.serialPort = output.serialPort;
  }
  if (mode == "sacn" || mode == "ola") request.priority = static_cast<std::uint8_t>(std::clamp(output.priority, 0, 200));
  if (mode == "sacn" && !output.networkInterface.empty()) request.networkInterface = output.networkInterface;
  if (mode == "artnet" && output.sequencing) request.sequencing = true;
  if (mode == "artnet" && output.sync) request.sync = true;
  if (pulse && pulse->hz > 0 && !frame.pulseChannels.empty()) {
    // The rate is not rounded as a page's is: the player anchors the phase, and a glide
    // changes the rate smoothly.
    request.pulseHz = pulse->hz;
    request.pulseChannels = frame.pulseChannels;
    request.pulseShape = oneOf(pulse->shape, kPulseShapes) ? pulse->shape : "sine";
    if (output.shortFrames) request.shortFrames = true;
  }
  return request;
}

dmx::DmxRequest blackoutRequest(const LightSettings& output, std::string_view clientId) {
  DmxFrame frame = buildDmxFrame(fixtureLayoutOf(output), LightLook{});
  frame.pulseChannels.clear();
  return buildDmxRequest(output, frame, std::nullopt, clientId);
}

bool outputReady(const LightSettings& output) {
  // Without a chosen port the serial outputs take the best candidate themselves.
  if (output.outputMode == "enttec-usb-pro" || output.outputMode == "open-dmx-ftdi") return true;
  // OLA has its own patch; sACN without an address uses the universe's multicast group.
  if (output.outputMode == "ola") return true;
  return validHost(output.targetIp, output.outputMode == "sacn");
}

bool sameDestination(const LightSettings& a, const LightSettings& b) {
  // As the requests name them (modes and addresses as buildDmxRequest fills them in).
  const dmx::DmxRequest x = blackoutRequest(a, ""), y = blackoutRequest(b, "");
  auto serial = [](const dmx::DmxRequest& r) { return r.outputMode == "enttec-usb-pro" || r.outputMode == "open-dmx-ftdi"; };
  if (serial(x) || serial(y)) return serial(x) && serial(y) && x.serialPort == y.serialPort;
  if (x.outputMode == "ola" || y.outputMode == "ola") return x.outputMode == y.outputMode && x.universe == y.universe;
  return x.outputMode == y.outputMode && x.targetIp == y.targetIp && x.universe == y.universe;
}

std::vector<LightSettings> lightOutputs(const LightSettings& light) {
  std::vector<LightSettings> outputs;
  auto add = [&](const LightSettings& output) {
    if (!outputReady(output)) return;
    if (std::any_of(outputs.begin(), outputs.end(), [&](const LightSettings& o) { return sameDestination(o, output); })) return;
    outputs.push_back(output);
  };
  LightSettings main = light;
  main.extraOutputs.clear();
  add(main);
  for (const ExtraOutput& extra : light.extraOutputs) {
    LightSettings output = main;
    output.outputMode = extra.outputMode;
    output.targetIp = extra.targetIp;
    output.universe = extra.universe;
    output.serialPort = extra.serialPort;
    add(output);
  }
  return outputs;
}

}  // namespace solvera::session
