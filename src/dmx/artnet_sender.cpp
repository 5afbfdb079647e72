// The Art-Net transport: socket, destination check, packets and the trace file.
#include "dmx/artnet_sender.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <variant>

#include "common/error.hpp"
#include "common/files.hpp"
#include "dmx/artnet_target.hpp"
#include "dmx/dmx_wire.hpp"
#include "dmx/last_light.hpp"

namespace solvera::dmx {
namespace {

constexpr const char* kDomain = "SolveraArtNet";

class UdpSocket final : public DatagramSocket {
 public:
  ~UdpSocket() override { close(); }
  bool open() override {
    if (fd_ >= 0) return true;
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd_ < 0) return false;
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);  // subnet broadcasts
    return true;
  }
  bool isOpen() const override { return fd_ >= 0; }
  bool sendTo(const sockaddr_in& to, std::span<const std::uint8_t> bytes) override {
    ssize_t sent = ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return sent == static_cast<ssize_t>(bytes.size());
  }
  void close() override {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

class TraceFile final : public FrameTrace {
 public:
  void frame(std::int64_t frameTimeNs, const Stream& stream, std::span<const std::uint8_t> frame) override {
    if (!path_) {
      const char* value = std::getenv("SOLVERA_DMX_TRACE");
      path_ = value && *value ? std::optional<std::string>(value) : std::nullopt;
    }
    if (!*path_) return;
    std::string chunk;
    if (!headerWritten_) {
      // Marked before writing, so a failed write does not bring the header back later.
      headerWritten_ = true;
      chunk = kTraceHeader;
    }
    chunk += traceLine(frameTimeNs, stream, frame);
    // Failures are ignored: the trace is a diagnosis aid, never a reason to stop the light.
    appendToFile(**path_, chunk, 0644);
  }

 private:
  std::optional<std::optional<std::string>> path_;  // outer: resolved yet; inner: a file
  bool headerWritten_ = false;
};

}  // namespace

std::unique_ptr<DatagramSocket> udpSocket() { return std::make_unique<UdpSocket>(); }
std::unique_ptr<FrameTrace> traceFromEnvironment() { return std::make_unique<TraceFile>(); }

class ArtNetSender::Transport final : public DmxTransport {
 public:
  Transport(std::unique_ptr<DatagramSocket> socket, std::unique_ptr<FrameTrace> trace,
            std::function<std::vector<LocalNetwork>()> networks)
      : socket_(std::move(socket)), trace_(std::move(trace)), networks_(std::move(networks)) {}

  // Refused targets are refused before anything changes, so a lit lamp keeps its stream.
  void check(const DmxRequest& request) const override {
    artNetDestination(request.targetIp, networks_());
  }
  // A new request looks at the machine's networks again.
  void select(const DmxRequest&) override { checked_.reset(); }

  bool sameStream(const DmxRequest& current, const DmxRequest& next) const override {
    return current.targetIp == next.targetIp && current.universe == next.universe;
  }
  bool reportsFirstFrameFailure() const override { return true; }

  void write(const Stream& stream, std::span<const std::uint8_t> frame, std::size_t slots,
             std::int64_t frameTimeNs) override {
    trace_->frame(frameTimeNs, stream, frame);  // before the packet, so failed ones show too
    sendPacket(artDmxPacket(frame, stream.request.universe, slots), stream.request.targetIp);
    if (!lit_ || lit_->first != stream.request.targetIp || lit_->second != stream.request.universe) {
      lit_.emplace(stream.request.targetIp, stream.request.universe);
      lastLight_.artNet(lit_->first, lit_->second);
    }
  }

  void blackout(const Stream* stream) override {
    if (!stream) return;
    try {
      sendPacket(artDmxPacket({}, stream->request.universe, kDmxChannels), stream->request.targetIp);
    } catch (const ErrorException&) {
      // Best effort at exit: nothing is left to tell.
    }
  }

  void close() override {
    socket_->close();
    if (lit_) lastLight_.none();
    lit_.reset();
  }
  std::int64_t frameNs(std::size_t slots) const override { return dmxFrameNs(slots); }
  std::size_t shortSlots(std::size_t highest) const override { return ArtNetSender::shortSlots(highest); }
  bool socketOpen() const { return socket_->isOpen(); }

 private:
  void sendPacket(std::span<const std::uint8_t> packet, const std::string& targetIp) {
    if (!socket_->open()) throw ErrorException(kDomain, errno, "Art-Net UDP-socket kon niet worden geopend.");
    const sockaddr_in address = destination(targetIp);
    if (!socket_->sendTo(address, packet)) {
      throw ErrorException(kDomain, errno, "Art-Net pakket kon niet worden verzonden.");
    }
  }

  // The machine's networks are read once per request, not on every frame.
  sockaddr_in destination(const std::string& targetIp) {
    if (!checked_ || checked_->first != targetIp) {
      try {
        checked_.emplace(targetIp, artNetDestination(targetIp, networks_()));
      } catch (const ErrorException& e) {
        checked_.emplace(targetIp, e.error());
      }
    }
    if (const auto* refused = std::get_if<Error>(&checked_->second)) throw ErrorException(*refused);
    return std::get<sockaddr_in>(checked_->second);
  }

  std::unique_ptr<DatagramSocket> socket_;
  std::unique_ptr<FrameTrace> trace_;
  std::function<std::vector<LocalNetwork>()> networks_;
  std::optional<std::pair<std::string, std::variant<sockaddr_in, Error>>> checked_;
  std::optional<std::pair<std::string, std::uint16_t>> lit_;  // where the last frame went
  LastLight::Slot lastLight_{LastLight::Output::ArtNet};
};

ArtNetSender::ArtNetSender(Clock& clock) : ArtNetSender(clock, udpSocket(), traceFromEnvironment()) {}

ArtNetSender::ArtNetSender(Clock& clock, std::unique_ptr<DatagramSocket> socket, std::unique_ptr<FrameTrace> trace,
                           std::function<std::vector<LocalNetwork>()> networks)
    : output_("mirowen.artnet", kTickPeriod, clock,
              std::make_unique<Transport>(std::move(socket), std::move(trace), std::move(networks))) {}

ArtNetSender::Status ArtNetSender::status() {
  return output_.inspect([](const DmxOutputState& state, DmxTransport& transport) {
    Status status;
    if (state.stream) status.stream = StreamKey{state.stream->request.targetIp, state.stream->request.universe};
    status.timerRunning = state.timerRunning;
    status.socketOpen = static_cast<Transport&>(transport).socketOpen();
    status.schedule = state.schedule;
    return status;
  });
}

double ArtNetSender::maxFramesPerSecond(std::size_t slots) { return 1e9 / static_cast<double>(dmxFrameNs(slots)); }

std::size_t ArtNetSender::shortSlots(std::size_t highest) {
  return std::clamp<std::size_t>(highest + highest % 2, 2, kDmxChannels);
}

}  // namespace solvera::dmx
