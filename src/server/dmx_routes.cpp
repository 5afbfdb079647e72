// Light-frame routes over the three senders.
#include "server/dmx_routes.hpp"

#include <algorithm>
#include <charconv>
#include <mutex>

#include "common/error.hpp"
#include "common/serial_queue.hpp"
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

struct DmxRoutes::ReplyGate {
  std::mutex mutex;
  SerialQueue* queue = nullptr;  // none once the routes are gone
};

DmxRoutes::DmxRoutes(std::shared_ptr<dmx::LightRouter> router, std::shared_ptr<dmx::ArtNetDiscovery> discovery,
                     SerialQueue& replies)
    : router_(std::move(router)), discovery_(std::move(discovery)), gate_(std::make_shared<ReplyGate>()) {
  gate_->queue = &replies;
}

DmxRoutes::~DmxRoutes() {
  std::lock_guard lock(gate_->mutex);
  gate_->queue = nullptr;
}

std::optional<std::string> DmxRoutes::handleDmx(const std::string& body) {
  std::string error;
  try {
    const dmx::LightRequest request = dmx::decodeLightRequest(body);
    const dmx::DmxRequest& first = request.outputs.front();
    if (!request.several) {
      const std::string mode = dmx::LightRouter::modeFor(first);
      if ((mode != "artnet" || dmx::plausibleTargetIp(first.targetIp)) && superseded(first)) return accepted(mode);
      return accepted(router_->send(first));
    }
    OrderedJson reply;
    OrderedJson outputs = OrderedJson::array();
    bool all = true;
    if (superseded(first)) {
      for (const auto& part : request.outputs) {
        outputs.push_back(OrderedJson{{"outputMode", dmx::LightRouter::modeFor(part)}, {"ok", true}});
      }
    } else {
      for (const auto& result : router_->send(request)) {
        OrderedJson entry{{"outputMode", result.outputMode}, {"ok", !result.error}};
        if (result.error) entry["error"] = result.error->message;
        all = all && !result.error;
        outputs.push_back(std::move(entry));
      }
    }
    reply["ok"] = all;
    reply["outputs"] = std::move(outputs);
    if (!all) reply["availablePorts"] = dmx::OpenDmxFtdiSender::availablePorts(std::nullopt);
    return http::jsonResponse(reply);
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
  const bool known = mode == "enttec-usb-pro" || mode == "open-dmx-ftdi" || mode == "sacn" || mode == "ola";
  if (mode == "enttec-usb-pro" || mode == "open-dmx-ftdi") {
    if (shortFrames) slots = dmx::serialShortSlots(channels);
    fps = mode == "open-dmx-ftdi" ? dmx::OpenDmxFtdiSender::maxFramesPerSecond(slots)
                                  : dmx::EnttecDmxUsbProSender::maxFramesPerSecond(slots);
  } else if (mode == "sacn") {
    if (shortFrames) slots = dmx::SacnSender::shortSlots(channels);
    fps = dmx::SacnSender::maxFramesPerSecond(slots);
  } else if (mode == "ola") {
    if (shortFrames) slots = dmx::serialShortSlots(channels);
    fps = dmx::OlaSender::maxFramesPerSecond(slots);
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
  reply["outputMode"] = known ? mode : "artnet";
  reply["slots"] = slots;
  reply["framesPerSecond"] = std::round(fps * 10) / 10;
  reply["maxPulseHz"] = limits;
  return http::jsonResponse(reply);
}

void DmxRoutes::nodesResponse(const std::string& query, std::function<void(std::string)> reply) {
  const bool again = http::queryValue("refresh", query).value_or("") == "1";
  discovery_->nodes(again, [gate = gate_, reply = std::move(reply)](const std::vector<dmx::DiscoveredNode>& nodes) {
    OrderedJson list = OrderedJson::array();
    for (const auto& node : nodes) {
      list.push_back(OrderedJson{{"ip", node.ip},
                                 {"name", node.name},
                                 {"shortName", node.shortName},
                                 {"universes", node.universes},
                                 {"status", node.status}});
    }
    std::string body = http::jsonResponse(OrderedJson{{"ok", true}, {"nodes", std::move(list)}});
    std::lock_guard lock(gate->mutex);
    if (gate->queue) gate->queue->post([reply, body = std::move(body)] { reply(body); });
  });
}

std::string DmxRoutes::interfacesResponse() {
  OrderedJson list = OrderedJson::array();
  for (const auto& interface : dmx::multicastInterfaces()) {
    list.push_back(OrderedJson{{"name", interface.name}, {"address", interface.address}});
  }
  return http::jsonResponse(OrderedJson{{"ok", true}, {"interfaces", std::move(list)}});
}

void DmxRoutes::blackoutDmxOutputs() { router_->exitBlackout(); }

void DmxRoutes::stop() { router_->stopAll(); }

}  // namespace solvera
