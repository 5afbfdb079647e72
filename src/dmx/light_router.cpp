// Routing of light requests to one output at a time.
#include "dmx/light_router.hpp"

#include <algorithm>

#include "common/error.hpp"
#include "dmx/artnet_target.hpp"

namespace solvera::dmx {

LightRouter::LightRouter(std::shared_ptr<DmxOutputs> outputs) : outputs_(std::move(outputs)) {
  // The first route takes the requests whose word no output has.
  routes_ = {{"artnet", &outputs_->artNet.output()},
             {"enttec-usb-pro", &outputs_->enttecUsbPro.output()},
             {"open-dmx-ftdi", &outputs_->openDmxFtdi.output()}};
}

const std::string& LightRouter::modeFor(const DmxRequest& request) const {
  const std::string mode = request.outputMode.value_or("");
  auto found = std::find_if(routes_.begin(), routes_.end(), [&](const Route& r) { return r.mode == mode; });
  return found == routes_.end() ? routes_.front().mode : found->mode;
}

std::string LightRouter::send(const DmxRequest& request) {
  std::lock_guard lock(sending_);
  if (exiting_) throw ErrorException("Solvera", 503, "Het programma sluit af: het licht blijft uit.");
  const std::string& mode = modeFor(request);
  auto& addressed = *std::find_if(routes_.begin(), routes_.end(), [&](const Route& r) { return r.mode == mode; });
  // Refusals come before anything changes: the lamp that is lit stays lit and is still
  // darkened at exit.
  if (mode == "artnet" && !plausibleTargetIp(request.targetIp)) {
    throw ErrorException("Solvera", 400, "Invalid target IP");
  }
  addressed.output->check(request);
  for (const auto& route : routes_) {
    if (route.output != addressed.output) route.output->stop();
  }
  addressed.output->send(request);
  return mode;
}

void LightRouter::blackoutAll() {
  for (const auto& route : routes_) route.output->blackoutAndStop();
}

void LightRouter::exitBlackout() {
  exiting_ = true;
  for (const auto& route : routes_) route.output->exitBlackout();
}

void LightRouter::stopAll() {
  std::lock_guard lock(sending_);
  for (const auto& route : routes_) route.output->stop();
}

}  // namespace solvera::dmx
