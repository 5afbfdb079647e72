// Darkness when the program dies without its orderly blackout: on a fatal signal the handler
// sends one all-zero frame to every lit output, with descriptors and packets prepared in
// advance; after SIGKILL (or the out-of-memory killer) a small watcher process, forked at start
// and told every output's destination, does the same once it sees the program gone.
#pragma once

#include <cstdint>
#include <string>

namespace solvera::dmx {

class LastLight {
 public:
  enum class Output { ArtNet, UsbPro, OpenDmx };
  // Outputs that can be lit at once.
  static constexpr int kSlots = 16;

  // Forks the watcher and installs the signal handlers. Once per process, early in main, before
  // threads start. Programs that never call it (tests) pay nothing for the updates below.
  static void install();
  // The lamps were darkened in order: the handler does nothing more and the watcher leaves.
  static void disarm();

  // One output's place in the table the handler and the watcher read. The handler may run at
  // any instant on any thread, so what it reads is never half written: a serial place owns a
  // descriptor number for the life of the process, onto which the port is duplicated (and
  // /dev/null when the port goes), so the number is never closed or reused; an Art-Net place
  // keeps two destinations and switches between them atomically. Taken on the first update;
  // inert without install() or when every place is taken.
  class Slot {
   public:
    explicit Slot(Output kind) : kind_(kind) {}
    ~Slot();  // none(), and the place is free again
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;

    // Where the output's light goes now: an Art-Net destination, or a serial device with the
    // output's own descriptor for it (duplicated; the output may close its own at any time).
    void artNet(const std::string& targetIp, std::uint16_t universe);
    void serial(const std::string& devicePath, int fd);
    // The output stopped: nothing to darken.
    void none();

   private:
    bool take();

    Output kind_;
    int index_ = -1;
  };
};

}  // namespace solvera::dmx
