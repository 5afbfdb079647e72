// The three light outputs of one program, made by its owner and handed to the server.
#pragma once

#include <string>

#include "common/clock.hpp"
#include "dmx/artnet_sender.hpp"
#include "dmx/enttec_sender.hpp"
#include "dmx/open_dmx_sender.hpp"

namespace solvera::dmx {

struct DmxOutputs {
  explicit DmxOutputs(Clock& clock = systemClock(),
                      const std::string& deviceDir = serialDeviceDir())
      : artNet(clock), enttecUsbPro(clock, deviceDir), openDmxFtdi(clock, deviceDir) {}

  ArtNetSender artNet;
  EnttecDmxUsbProSender enttecUsbPro;
  OpenDmxFtdiSender openDmxFtdi;
};

}  // namespace solvera::dmx
