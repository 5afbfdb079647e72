// Test stand-ins for DMX hardware: a UDP receiver on a loopback address of its own (Art-Net
// nodes listen on port 6454) and pseudo-terminals linked under device names.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <future>
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

// A UDP socket bound to a port (Art-Net nodes listen on 6454, sACN receivers on 5568) of an
// address in 127.0.0.0/8 that no other test process uses (derived from the process id and a
// counter), so parallel tests never share a port.
class ArtNetReceiver {
 public:
  explicit ArtNetReceiver(std::uint16_t port = 6454);
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

// An ArtPollReply of the full Art-Net 4 length (239 bytes), as a node with four ports (three of
// them outputs: universes 0x120, 0x121, 0x123) writes it.
Bytes artPollReplyBytes(std::array<std::uint8_t, 4> ip, const std::string& shortName, const std::string& longName,
                        std::uint8_t bindIndex = 1);
// The four bytes of a dotted IPv4 address.
std::array<std::uint8_t, 4> bytesOf(const std::string& dotted);

// An Art-Net node on a loopback address of its own (port 6454): answers the first ArtPoll it
// hears (within 20 s) with what reply makes of its own address.
class FakeArtNetNode {
 public:
  explicit FakeArtNetNode(std::function<Bytes(const std::string& self)> reply);
  ~FakeArtNetNode();
  FakeArtNetNode(const FakeArtNetNode&) = delete;
  FakeArtNetNode& operator=(const FakeArtNetNode&) = delete;
  const std::string& address() const { return socket_.address(); }
  // The ArtPoll it heard.
  std::future<Bytes> polled() { return polled_.get_future(); }

 private:
  ArtNetReceiver socket_;
  std::promise<Bytes> polled_;
  std::thread thread_;
};

// An address in 127.0.0.0/8 that is unique to this process and call.
std::string uniqueLoopbackAddress();

// Runs body on a thread of its own inside a new network namespace (nothing it sends can reach a
// real network) after `setup` (shell commands, for example "ip link set lo up") ran there;
// threads the body starts stay inside. False, with the reason, when no namespace can be made
// (not root, or no "ip" command).
bool inNetworkNamespace(const std::string& setup, const std::function<void()>& body, std::string* why);

// A local TCP port that was free a moment ago (for a daemon that must be told its port).
std::uint16_t freeTcpPort();

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
