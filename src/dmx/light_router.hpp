// Which output a light request goes to, and the blackouts that concern every output: one path
// for the light route and for a player of the program's own.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dmx/dmx_outputs.hpp"

namespace solvera::dmx {

class LightRouter {
 public:
  // One output and the "outputMode" word that addresses it.
  struct Route {
    std::string mode;
    DmxOutput* output = nullptr;
  };

  // The program's outputs: "artnet" (also for any word no output has), "enttec-usb-pro" and
  // "open-dmx-ftdi".
  explicit LightRouter(std::shared_ptr<DmxOutputs> outputs);

  // The mode word of the output a request addresses.
  const std::string& modeFor(const DmxRequest& request) const;
  // The addressed output takes the request and every other output stops (without a frame).
  // Returns the addressed output's mode word. Throws ErrorException, changing nothing, when
  // the request is refused (a target that is no address or not ours, or after the exit
  // blackout); throws too when the output cannot be opened, after the others were stopped and
  // the request became its stream (it is sent once the device is there).
  std::string send(const DmxRequest& request);
  // Every output sends one all-zero frame and stops. Queued: returns at once, never waits for
  // a device.
  void blackoutAll();
  // The same, and from then on nothing lights again, whoever asks any output: for the exit.
  void exitBlackout();
  // Every output stops without a frame. Queued.
  void stopAll();
  bool exiting() const { return exiting_; }
  DmxOutputs& outputs() { return *outputs_; }

 private:
  std::shared_ptr<DmxOutputs> outputs_;
  std::vector<Route> routes_;
  std::mutex sending_;  // one request at a time, so exactly one output streams
  std::atomic<bool> exiting_{false};
};

}  // namespace solvera::dmx
