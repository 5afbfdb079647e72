// Routing of light requests to the outputs they name.
#include "dmx/light_router.hpp"

#include <algorithm>
#include <set>

#include "dmx/artnet_target.hpp"

namespace solvera::dmx {
namespace {

const std::vector<std::string>& knownModes() {
  static const std::vector<std::string> modes{"artnet", "sacn", "enttec-usb-pro", "open-dmx-ftdi", "ola"};
  return modes;
}

bool serial(const std::string& mode) { return mode == "enttec-usb-pro" || mode == "open-dmx-ftdi"; }

// What a part lights, so that the same destination keeps its output (and its pulse phase) when
// the list changes order. Serial outputs share the port names.
std::string keyFor(const std::string& mode, const DmxRequest& request) {
  if (serial(mode)) return "serial|" + request.serialPort.value_or("");
  if (mode == "ola") return "ola|" + std::to_string(request.universe);
  return mode + "|" + request.targetIp + "|" + std::to_string(request.universe);
}

ErrorException named(std::size_t index, const Error& error) {
  return ErrorException(error.domain, error.code, "Uitgang " + std::to_string(index + 1) + ": " + error.message);
}

}  // namespace

LightRouter::LightRouter(std::shared_ptr<DmxOutputs> outputs) : outputs_(std::move(outputs)) {
  for (auto& lane : outputs_->firsts()) lanes_.push_back({std::move(lane), ""});
}

std::string LightRouter::modeFor(const DmxRequest& request) {
  const std::string mode = request.outputMode.value_or("");
  const auto& modes = knownModes();
  return std::find(modes.begin(), modes.end(), mode) == modes.end() ? modes.front() : mode;
}

std::string LightRouter::send(const DmxRequest& request) {
  LightRequest single{{request}, false};
  auto results = send(single);
  if (results.front().error) throw ErrorException(*results.front().error);
  return results.front().outputMode;
}

std::vector<LightRouter::Result> LightRouter::send(const LightRequest& request) {
  std::lock_guard lock(sending_);
  if (exiting_) throw ErrorException("Solvera", 503, "Het programma sluit af: het licht blijft uit.");
  std::vector<DmxRequest> parts = request.outputs;
  const bool several = request.several;
  // Refusals come before anything changes: the lamps that are lit stay lit and are still
  // darkened at exit.
  std::vector<std::string> modes;
  std::set<std::string> keys;
  std::size_t serialParts = 0, unnamedPorts = 0;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::string mode = modeFor(parts[i]);
    modes.push_back(mode);
    try {
      if (mode == "artnet" && !plausibleTargetIp(parts[i].targetIp)) {
        throw ErrorException("Solvera", 400, "Invalid target IP");
      }
      const auto first = std::find_if(lanes_.begin(), lanes_.end(), [&](const Lane& l) { return l.output.mode == mode; });
      first->output.output->check(parts[i]);
    } catch (const ErrorException& e) {
      if (!several) throw;
      throw named(i, e.error());
    }
    if (!keys.insert(keyFor(mode, parts[i])).second) {
      throw ErrorException("Solvera", 400,
                           "Uitgang " + std::to_string(i + 1) + " stuurt naar hetzelfde als een uitgang ervoor.");
    }
    if (serial(mode)) {
      ++serialParts;
      if (parts[i].serialPort.value_or("").empty()) ++unnamedPorts;
    }
  }
  if (serialParts > 1 && unnamedPorts > 0) {
    throw ErrorException("Solvera", 400, "Kies voor elke seriële uitgang een eigen poort.");
  }

  const std::vector<std::size_t> chosen = assign(parts);
  // Art-Net parts that ask for ArtSync release their frames together.
  std::vector<std::size_t> synced;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (modes[i] == "artnet" && parts[i].sync.value_or(false)) synced.push_back(chosen[i]);
  }
  if (synced.size() < 2) {
    syncGroup_.reset();
    syncLanes_.clear();
  } else if (synced != syncLanes_) {
    syncGroup_ = std::make_shared<ArtSyncGroup>(synced.size());
    syncLanes_ = synced;
  }
  for (std::size_t i = 0, member = 0; i < parts.size(); ++i) {
    if (syncGroup_ && modes[i] == "artnet" && parts[i].sync.value_or(false)) {
      parts[i].artSyncGroup = syncGroup_;
      parts[i].artSyncMember = member++;
    }
  }

  for (std::size_t lane = 0; lane < lanes_.size(); ++lane) {
    if (std::find(chosen.begin(), chosen.end(), lane) == chosen.end()) {
      lanes_[lane].output.output->stop();
      lanes_[lane].key.clear();
    }
  }
  // Every output takes its part before any answer is awaited.
  std::vector<Result> results(parts.size());
  std::vector<DmxOutput::Sending> sendings(parts.size());
  for (std::size_t i = 0; i < parts.size(); ++i) {
    results[i].outputMode = modes[i];
    try {
      sendings[i] = lanes_[chosen[i]].output.output->start(parts[i]);
      lanes_[chosen[i]].key = keyFor(modes[i], parts[i]);
    } catch (const ErrorException& e) {
      results[i].error = e.error();
    }
  }
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (results[i].error) continue;
    try {
      lanes_[chosen[i]].output.output->finish(sendings[i]);
    } catch (const ErrorException& e) {
      results[i].error = e.error();
    }
  }
  return results;
}

std::vector<std::size_t> LightRouter::assign(const std::vector<DmxRequest>& parts) {
  std::vector<std::size_t> chosen(parts.size(), lanes_.size());
  std::vector<bool> taken(lanes_.size(), false);
  // The output that lights a destination now keeps it; the others take the first free output of
  // their kind, made when there is none.
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::string mode = modeFor(parts[i]), key = keyFor(mode, parts[i]);
    for (std::size_t lane = 0; lane < lanes_.size(); ++lane) {
      if (!taken[lane] && lanes_[lane].output.mode == mode && lanes_[lane].key == key) {
        chosen[i] = lane;
        taken[lane] = true;
        break;
      }
    }
  }
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (chosen[i] != lanes_.size()) continue;
    const std::string mode = modeFor(parts[i]);
    for (std::size_t lane = 0; lane < lanes_.size() && chosen[i] == lanes_.size(); ++lane) {
      if (!taken[lane] && lanes_[lane].output.mode == mode) {
        chosen[i] = lane;
        taken[lane] = true;
      }
    }
    if (chosen[i] == lanes_.size()) {
      std::lock_guard lock(lanesMutex_);
      lanes_.push_back({outputs_->another(mode), ""});
      // An exit blackout that began after this request did not see the new output.
      if (exiting_) lanes_.back().output.output->exitBlackout();
      taken.push_back(true);
      chosen[i] = lanes_.size() - 1;
    }
  }
  return chosen;
}

std::vector<DmxOutput*> LightRouter::allOutputs() {
  std::lock_guard lock(lanesMutex_);
  std::vector<DmxOutput*> all;
  for (const auto& lane : lanes_) all.push_back(lane.output.output);
  return all;
}

void LightRouter::blackoutAll() {
  for (DmxOutput* output : allOutputs()) output->blackoutAndStop();
}

void LightRouter::exitBlackout() {
  exiting_ = true;
  for (DmxOutput* output : allOutputs()) output->exitBlackout();
}

void LightRouter::stopAll() {
  std::lock_guard lock(sending_);
  for (DmxOutput* output : allOutputs()) output->stop();
}

}  // namespace solvera::dmx
