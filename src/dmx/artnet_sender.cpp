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
#include "dmx/sequence_numbers.hpp"

namespace solvera::dmx {
namespace {

constexpr const char* kArtNetDomain = "SolveraArtNet";

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
  bool multicastVia(unsigned interfaceIndex) override {
    ip_mreqn request{};
    request.imr_ifindex = static_cast<int>(interfaceIndex);
    return ::setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_IF, &request, sizeof request) == 0;
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

std::vector<sockaddr_in> ArtSyncGroup::sent(std::size_t member, std::int64_t frameTimeNs, const sockaddr_in& node) {
  std::lock_guard lock(mutex_);
  std::vector<sockaddr_in> release;
  auto add = [&](const sockaddr_in& to) {
    const bool known = std::any_of(nodes_.begin(), nodes_.end(), [&](const sockaddr_in& n) {
      return n.sin_addr.s_addr == to.sin_addr.s_addr && n.sin_port == to.sin_port;
    });
    if (!known) nodes_.push_back(to);
  };
  const bool sameMoment = count_ > 0 && std::llabs(frameTimeNs - roundNs_) <= kSameMomentNs;
  if (member >= members_) return {node};
  if (count_ > 0 && (!sameMoment || in_[member])) {
    // Someone moved on before the round was whole: what came so far goes out now.
    release.swap(nodes_);
    std::fill(in_.begin(), in_.end(), false);
    count_ = 0;
  }
  if (count_ == 0) roundNs_ = frameTimeNs;
  in_[member] = true;
  ++count_;
  add(node);
  if (count_ == members_) {
    for (const auto& to : nodes_) {
      const bool known = std::any_of(release.begin(), release.end(), [&](const sockaddr_in& n) {
        return n.sin_addr.s_addr == to.sin_addr.s_addr;
      });
      if (!known) release.push_back(to);
    }
    nodes_.clear();
    std::fill(in_.begin(), in_.end(), false);
    count_ = 0;
  }
  return release;
}
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
    const DmxRequest& request = stream.request;
    trace_->frame(frameTimeNs, stream, frame);  // before the packet, so failed ones show too
    const sockaddr_in to = sendPacket(artDmxPacket(frame, request.universe, slots, sequenceFor(request)), request.targetIp);
    const bool sync = request.sync.value_or(false);
    if (sync) {
      if (request.artSyncGroup) {
        for (const auto& node : request.artSyncGroup->sent(request.artSyncMember, frameTimeNs, to)) sendSync(node);
      } else {
        sendSync(to);
      }
    }
    if (!lit_ || lit_->targetIp != request.targetIp || lit_->universe != request.universe || lit_->sync != sync) {
      lit_ = Lit{request.targetIp, request.universe, sync};
      lastLight_.artNet(request.targetIp, request.universe, sync);
    }
  }

  void blackout(const Stream* stream) override {
    if (!stream) return;
    try {
      const auto& request = stream->request;
      const sockaddr_in to = sendPacket(artDmxPacket({}, request.universe, kDmxChannels, sequenceFor(request)), request.targetIp);
      // A node that holds its frames for an ArtSync shows the dark one only with one.
      if (request.sync.value_or(false)) sendSync(to);
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
  sockaddr_in sendPacket(std::span<const std::uint8_t> packet, const std::string& targetIp) {
    if (!socket_->open()) throw ErrorException(kArtNetDomain, errno, "Art-Net UDP-socket kon niet worden geopend.");
    const sockaddr_in address = destination(targetIp);
    if (!socket_->sendTo(address, packet)) {
      throw ErrorException(kArtNetDomain, errno, "Art-Net pakket kon niet worden verzonden.");
    }
    return address;
  }

  void sendSync(const sockaddr_in& node) {
    const auto sync = artSyncPacket();
    if (!socket_->sendTo(node, sync)) throw ErrorException(kArtNetDomain, errno, "Art-Net pakket kon niet worden verzonden.");
  }

  static std::uint8_t sequenceFor(const DmxRequest& request) {
    return request.sequencing.value_or(false) ? sequence::nextArtNet(request.universe & 0x7FFF) : 0;
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
  struct Lit {
    std::string targetIp;
    std::uint16_t universe = 0;
    bool sync = false;
  };
  std::optional<Lit> lit_;  // where the last frame went
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
