// Test stand-ins for DMX hardware: a UDP receiver on a loopback address of its own (Art-Net
// nodes listen on port 6454) and pseudo-terminals linked under device names.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace solvera::dmx::test {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// A UDP socket bound to port 6454 of an address in 127.0.0.0/8 that no other test process
// uses (derived from the process id and a counter), so parallel tests never share a port.
class ArtNetReceiver {
 public:
  ArtNetReceiver();
  ~ArtNetReceiver();
  ArtNetReceiver(const ArtNetReceiver&) = delete;
  ArtNetReceiver& operator=(const ArtNetReceiver&) = delete;

  const std::string& address() const { return address_; }
  int fd() const { return fd_; }
  // The next datagram, or nothing after the timeout.
  std::optional<Bytes> receive(std::chrono::milliseconds timeout = 5s);
  // Every datagram already queued, without waiting.
  std::vector<Bytes> drain();

 private:
  int fd_ = -1;
  std::string address_;
};

// The master end of a pseudo-terminal whose slave is linked at a device path (for example
// <dir>/ttyUSB0). A thread drains the master so that blocking writes never stall.
class FakeSerialDevice {
 public:
  explicit FakeSerialDevice(std::filesystem::path link);
  ~FakeSerialDevice();
  FakeSerialDevice(const FakeSerialDevice&) = delete;
  FakeSerialDevice& operator=(const FakeSerialDevice&) = delete;

  const std::filesystem::path& link() const { return link_; }
  const std::string& slavePath() const { return slavePath_; }

  // Waits until the bytes received since the last take satisfy done (called under the lock).
  bool waitFor(const std::function<bool(std::span<const std::uint8_t>)>& done,
               std::chrono::milliseconds timeout = 5s);
  // Waits until whole appears in the unconsumed bytes and consumes everything up to its end.
  bool waitForSequence(const Bytes& whole, std::chrono::milliseconds timeout = 5s);
  // Waits for count bytes after what was consumed and consumes them.
  std::optional<Bytes> take(std::size_t count, std::chrono::milliseconds timeout = 5s);
  // Forgets what has been received so far.
  void clear();
  std::size_t received();

  // The device is unplugged: the master closes and the link disappears.
  void unplug();

 private:
  void run();

  std::filesystem::path link_;
  std::string slavePath_;
  int master_ = -1;
  int wake_ = -1;  // eventfd that ends the reader
  std::mutex mutex_;
  std::condition_variable changed_;
  Bytes bytes_;
  std::size_t consumed_ = 0;
  std::thread reader_;
};

// An address in 127.0.0.0/8 that is unique to this process and call.
std::string uniqueLoopbackAddress();

// The line attributes of a terminal as the kernel holds them.
struct LineSettings {
  unsigned outputBaud = 0;
  bool eightBits = false, twoStopBits = false, parity = false, receiver = false, local = false,
       hardwareFlow = false;
  unsigned inputFlags = 0, outputFlags = 0, localFlags = 0;
  unsigned vmin = 0, vtime = 0;
};
std::optional<LineSettings> lineSettings(const std::string& ttyPath);

}  // namespace solvera::dmx::test
