// Which outputs a light request goes to, and the blackouts that concern every output: one path
// for the light route and for a player of the program's own.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "dmx/dmx_outputs.hpp"

namespace solvera::dmx {

class LightRouter {
 public:
  // What became of one output of a request.
  struct Result {
    std::string outputMode;
    std::optional<Error> error;  // none: it took the request
  };

  // The program's outputs: "artnet" (also for any word no output has), "sacn",
  // "enttec-usb-pro", "open-dmx-ftdi" and "ola"; more of a kind are made when a request lights
  // several of it.
  explicit LightRouter(std::shared_ptr<DmxOutputs> outputs);

  // The mode word of the output a request addresses.
  static std::string modeFor(const DmxRequest& request);
  // The addressed output takes the request and every other output stops (without a frame).
  // Returns the addressed output's mode word. Throws ErrorException, changing nothing, when
  // the request is refused (a target that is no address or not ours, or after the exit
  // blackout); throws too when the output cannot be opened, after the others were stopped and
  // the request became its stream (it is sent once the device is there).
  std::string send(const DmxRequest& request);
  // Several outputs at once: each takes its part, all at the same time, and every output not
  // named stops. Throws ErrorException, changing nothing, when any part is refused (the message
  // names the output: "Uitgang 2: ..."), when two parts name the same destination or serial
  // outputs do not each name a port of their own; otherwise one result per part, in order: a
  // fault on one output (an unplugged widget) is its own and delays the others by nothing but
  // the wait for its answer.
  std::vector<Result> send(const LightRequest& request);
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
  struct Lane {
    OutputLane output;
    std::string key;  // what it was last asked to light
  };
  std::vector<std::size_t> assign(const std::vector<DmxRequest>& parts);
  std::vector<DmxOutput*> allOutputs();

  std::shared_ptr<DmxOutputs> outputs_;
  std::mutex sending_;  // one request at a time, so the outputs named last are the ones lit
  std::mutex lanesMutex_;
  std::vector<Lane> lanes_;
  std::shared_ptr<ArtSyncGroup> syncGroup_;
  std::vector<std::size_t> syncLanes_;  // the lanes syncGroup_ was made for
  std::atomic<bool> exiting_{false};
};

}  // namespace solvera::dmx
