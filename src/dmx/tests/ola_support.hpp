// A private olad for tests and benches (its own configuration folder and RPC port, only the
// dummy plugin, one output port patched to a universe) and a client that records every frame
// olad takes for that universe.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace solvera::dmx::test {

class PrivateOlad {
 public:
  // Prepares olad's folder with the dummy device's output port patched to `universe`, and picks
  // its port; start() starts it.
  explicit PrivateOlad(unsigned universe);
  ~PrivateOlad();  // stops it and removes its folder
  PrivateOlad(const PrivateOlad&) = delete;
  PrivateOlad& operator=(const PrivateOlad&) = delete;

  // olad refuses to run as root, so a root caller starts it as the user its package made
  // ("olad").
  void start();
  // Whether olad answers on its port within the limit; why not, when not.
  bool ready(std::chrono::seconds limit, std::string* why);
  std::uint16_t port() const { return port_; }
  void stop();  // olad goes away now

 private:
  std::string dir_;
  std::uint16_t port_ = 0;
  pid_t pid_ = -1;
};

// Whether olad can be started here at all (installed; as root the "olad" user exists).
bool oladAvailable(std::string* why);

// One frame olad took, stamped when it arrived here.
struct OlaFrame {
  std::int64_t arrivedNs = 0;  // steady clock
  std::vector<std::uint8_t> channels;
};

// A client of olad registered for a universe; records every frame olad hands it.
class OlaUniverseWatcher {
 public:
  OlaUniverseWatcher(std::uint16_t port, unsigned universe);
  ~OlaUniverseWatcher();
  OlaUniverseWatcher(const OlaUniverseWatcher&) = delete;
  OlaUniverseWatcher& operator=(const OlaUniverseWatcher&) = delete;

  bool connected() const { return connected_; }
  // Waits (up to limit) until a frame satisfies done; false when none did.
  bool waitFor(const std::function<bool(const OlaFrame&)>& done, std::chrono::milliseconds limit);
  std::vector<OlaFrame> frames();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  bool connected_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<OlaFrame> frames_;
  std::thread thread_;
};

}  // namespace solvera::dmx::test
