// Light-frame routes over the three senders.
#include "server/dmx_routes.hpp"

#include <algorithm>
#include <charconv>

#include "common/error.hpp"
#include "common/json.hpp"
#include "dmx/artnet_target.hpp"
#include "dmx/frame_schedule.hpp"
#include "http/http.hpp"

namespace solvera {
namespace {

std::string ok(std::string_view body) { return http::httpResponse("200 OK", "application/json", body); }

// The reply to a light request the output took (or that a later one made moot).
std::string accepted(std::string_view outputMode) {
  return ok(R"({"ok":true,"outputMode":")" + std::string(outputMode) + "\"}");
}

// Pages heard from at once; one more forgets the least recently heard.
constexpr std::size_t kRememberedPages = 64;

}  // namespace

DmxRoutes::DmxRoutes(std::shared_ptr<dmx::LightRouter> router) : router_(std::move(router)) {}

DmxRoutes::~DmxRoutes() = default;

std::optional<std::string> DmxRoutes::handleDmx(const std::string& body) {
  std::string error;
  try {
    const dmx::DmxRequest request = dmx::decodeDmxRequest(body);
    const std::string& mode = router_->modeFor(request);
    if ((mode != "artnet" || dmx::plausibleTargetIp(request.targetIp)) && superseded(request)) {
      return accepted(mode);
    }
    return accepted(router_->send(request));
  } catch (const ErrorException& e) {
    error = e.error().message;
  } catch (const std::exception& e) {
    error = e.what();
  }
  OrderedJson reply;
  reply["ok"] = false;
  reply["error"] = error;
  reply["availablePorts"] = dmx::OpenDmxFtdiSender::availablePorts(std::nullopt);
  return http::jsonResponse(reply, "400 Bad Request");
}

bool DmxRoutes::superseded(const dmx::DmxRequest& request) {
  if (!request.clientId || !request.sequence) return false;
  ++handled_;
  auto found = latest_.find(*request.clientId);
  if (found != latest_.end()) {
    if (*request.sequence < found->second.sequence) return true;
    found->second = {*request.sequence, handled_};
    return false;
  }
  if (latest_.size() >= kRememberedPages) {
    auto leastRecent = [](const auto& a, const auto& b) { return a.second.heard < b.second.heard; };
    latest_.erase(std::min_element(latest_.begin(), latest_.end(), leastRecent));
  }
  latest_.emplace(*request.clientId, Latest{*request.sequence, handled_});
  return false;
}

std::optional<std::string> DmxRoutes::serialPortsResponse() {
  Json reply{{"ok", true}, {"ports", dmx::OpenDmxFtdiSender::availablePorts(std::nullopt)}};
  auto body = compactJson(reply);
  return ok(body ? *body : R"({"ok":false,"ports":[]})");
}

std::string DmxRoutes::limitsResponse(const std::string& query) {
  const std::string mode = http::queryValue("outputMode", query).value_or("artnet");
  std::size_t channels = dmx::kDmxChannels;
  if (auto text = http::queryValue("channels", query)) {
    std::size_t value = 0;
    const char* last = text->data() + text->size();
    auto [end, ec] = std::from_chars(text->data(), last, value);
    if (ec == std::errc() && end == last) channels = std::min(value, dmx::kDmxChannels);
  }
  const bool shortFrames = http::queryValue("shortFrames", query).value_or("") == "1";
  std::size_t slots = dmx::kDmxChannels;
  double fps = 0;
  if (mode == "enttec-usb-pro" || mode == "open-dmx-ftdi") {
    if (shortFrames) slots = dmx::serialShortSlots(channels);
    fps = mode == "open-dmx-ftdi" ? dmx::OpenDmxFtdiSender::maxFramesPerSecond(slots)
                                  : dmx::EnttecDmxUsbProSender::maxFramesPerSecond(slots);
  } else {
    if (shortFrames) slots = dmx::ArtNetSender::shortSlots(channels);
    fps = dmx::ArtNetSender::maxFramesPerSecond(slots);
  }
  OrderedJson limits;
  for (const char* shape : {"sine", "triangle", "square", "trapezoid", "sawtooth"}) {
    // Two decimals, rounded down: the page compares its own two-decimal rates with these.
    limits[shape] = std::floor(dmx::maxFaithfulPulseHz(shape, fps) * 100 + 1e-6) / 100;
  }
  OrderedJson reply;
  reply["ok"] = true;
  reply["outputMode"] = mode == "enttec-usb-pro" || mode == "open-dmx-ftdi" ? mode : "artnet";
  reply["slots"] = slots;
  reply["framesPerSecond"] = std::round(fps * 10) / 10;
  reply["maxPulseHz"] = limits;
  return http::jsonResponse(reply);
}

void DmxRoutes::blackoutDmxOutputs() { router_->exitBlackout(); }

void DmxRoutes::stop() { router_->stopAll(); }

}  // namespace solvera
