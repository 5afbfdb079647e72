// Darkness when the program dies without its orderly blackout: on a fatal signal the handler
// sends one all-zero frame to every open output, with descriptors and packets prepared in
// advance; after SIGKILL (or the out-of-memory killer) a small watcher process, forked at start
// and told every output's destination, does the same once it sees the program gone.
#pragma once

#include <cstdint>
#include <string>

namespace solvera::dmx {

class LastLight {
 public:
  enum class Output { ArtNet, UsbPro, OpenDmx };

  // Forks the watcher and installs the signal handlers. Once per process, early in main, before
  // threads start. Programs that never call it (tests) pay nothing for the updates below.
  static void install();
  // The outputs report where their light goes: an Art-Net destination, or a serial device with
  // its open descriptor. none() when an output stops.
  static void artNet(const std::string& targetIp, std::uint16_t universe);
  static void serial(Output output, const std::string& devicePath, int fd);
  static void none(Output output);
  // The lamps were darkened in order: the watcher leaves without sending anything.
  static void disarm();
};

}  // namespace solvera::dmx
