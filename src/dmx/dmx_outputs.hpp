// The light outputs of one program, made by its owner and handed to the server: one of each kind
// for the single-output light request, and more of a kind on demand for a request that lights
// several outputs at once.
#pragma once

#include <memory>
#include <string>

#include "common/clock.hpp"
#include "dmx/artnet_sender.hpp"
#include "dmx/enttec_sender.hpp"
#include "dmx/ola_sender.hpp"
#include "dmx/open_dmx_sender.hpp"
#include "dmx/sacn_sender.hpp"

namespace solvera::dmx {

// An output and what keeps it alive.
struct OutputLane {
  std::string mode;  // its "outputMode" word
  DmxOutput* output = nullptr;
  std::shared_ptr<void> owner;
};

struct DmxOutputs {
  explicit DmxOutputs(Clock& clock = systemClock(), const std::string& deviceDir = serialDeviceDir())
      : artNet(clock),
        enttecUsbPro(clock, deviceDir),
        openDmxFtdi(clock, deviceDir),
        sacn(clock),
        ola(clock),
        clock_(clock),
        deviceDir_(deviceDir) {}

  ArtNetSender artNet;
  EnttecDmxUsbProSender enttecUsbPro;
  OpenDmxFtdiSender openDmxFtdi;
  SacnSender sacn;
  OlaSender ola;

  // The outputs above, first of their kind.
  std::vector<OutputLane> firsts() {
    return {{"artnet", &artNet.output(), nullptr},
            {"sacn", &sacn.output(), nullptr},
            {"enttec-usb-pro", &enttecUsbPro.output(), nullptr},
            {"open-dmx-ftdi", &openDmxFtdi.output(), nullptr},
            {"ola", &ola.output(), nullptr}};
  }

  // Another output of the kind a mode word names (Art-Net for a word no output has).
  OutputLane another(const std::string& mode) {
    auto lane = [&](auto sender) {
      DmxOutput* output = &sender->output();
      return OutputLane{mode, output, std::move(sender)};
    };
    if (mode == "sacn") return lane(std::make_shared<SacnSender>(clock_));
    if (mode == "enttec-usb-pro") return lane(std::make_shared<EnttecDmxUsbProSender>(clock_, deviceDir_));
    if (mode == "open-dmx-ftdi") return lane(std::make_shared<OpenDmxFtdiSender>(clock_, deviceDir_));
    if (mode == "ola") return lane(std::make_shared<OlaSender>(clock_));
    return lane(std::make_shared<ArtNetSender>(clock_));
  }

 private:
  Clock& clock_;
  std::string deviceDir_;
};

}  // namespace solvera::dmx
