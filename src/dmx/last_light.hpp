// Darkness when the program dies without its orderly blackout: on a fatal signal the handler
// sends one all-zero frame to every lit output (sACN streams are then ended too), with descriptors and packets prepared in
// advance; after SIGKILL (or the out-of-memory killer) a small watcher process, forked at start
// and told every output's destination, does the same once it sees the program gone.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "dmx/sacn_wire.hpp"

namespace solvera::dmx {

class LastLight {
 public:
  enum class Output { ArtNet, UsbPro, OpenDmx, Sacn, Ola };
  // Outputs that can be lit at once.
  static constexpr int kSlots = 16;

  // Forks the watcher and installs the signal handlers. Once per process, early in main, before
  // threads start. Programs that never call it (tests) pay nothing for the updates below.
  static void install();
  // The lamps were darkened in order: the handler does nothing more and the watcher leaves.
  static void disarm();
  // A fatal signal has darkened the lamps: no output lights them again while the program dies
  // (a sanitizer's or crash reporter's handler may run long after ours). Async-signal-safe.
  static bool struck();

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
    // withSync: the node may hold frames until an ArtSync, so the dark one is followed by one.
    void artNet(const std::string& targetIp, std::uint16_t universe, bool withSync = false);
    // An sACN universe: its dark frame and three stream-terminated packets, numbered on from the
    // universe's count, out of the given interface (0: the system's choice).
    void sacn(const sockaddr_in& to, unsigned interfaceIndex, std::uint16_t universe, const SacnSource& source);
    void serial(const std::string& devicePath, int fd);
    // An OLA universe: only the watcher can darken it (through olad), once the program is gone.
    void ola(std::uint16_t port, unsigned universe);
    // The output stopped: nothing to darken.
    void none();

   private:
    bool take();

    Output kind_;
    int index_ = -1;
  };
};

}  // namespace solvera::dmx
