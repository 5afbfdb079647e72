// The sACN transport: destination and interface checks, packets with this installation's CID,
// per-universe sequence numbers, and the stream-terminated packets that end a stream.
#include "dmx/sacn_sender.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <algorithm>
#include <cerrno>
#include <mutex>

#include "common/error.hpp"
#include "common/files.hpp"
#include "common/random.hpp"
#include "common/xdg.hpp"
#include "dmx/frame_schedule.hpp"
#include "dmx/last_light.hpp"
#include "dmx/sequence_numbers.hpp"

namespace solvera::dmx {
namespace {

constexpr const char* kSacnDomain = "SolveraSacn";

std::string dotted(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return text;
}

}  // namespace

SacnCid keptCid(const std::filesystem::path& file) {
  auto read = [&]() -> std::optional<SacnCid> {
    auto text = readWholeFile(file);
    if (!text) return std::nullopt;
    while (!text->empty() && (text->back() == '\n' || text->back() == ' ')) text->pop_back();
    return parseCid(*text);
  };
  if (auto kept = read()) return *kept;
  // A version 4 (random) UUID.
  auto made = parseCid(randomHexToken().insert(8, "-").insert(13, "-").insert(18, "-").insert(23, "-"));
  SacnCid cid = made.value_or(SacnCid{});
  cid[6] = static_cast<std::uint8_t>((cid[6] & 0x0F) | 0x40);
  cid[8] = static_cast<std::uint8_t>((cid[8] & 0x3F) | 0x80);
  std::error_code ignored;
  std::filesystem::create_directories(file.parent_path(), ignored);
  // Should another instance have written its own at the same moment, the file's is the one.
  if (writeFileAtomically(file, cidText(cid) + "\n", 0644)) return read().value_or(cid);
  return cid;  // not kept (a read-only home): this run's own
}

SacnCid installationCid() {
  static std::once_flag once;
  static SacnCid cid{};
  std::call_once(once, [] { cid = keptCid(xdg::dataHome() / "Solvera Pro" / "sacn-cid"); });
  return cid;
}

std::vector<MulticastInterface> multicastInterfaces() {
  std::vector<MulticastInterface> found;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return found;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP) ||
        !(i->ifa_flags & (IFF_MULTICAST | IFF_LOOPBACK))) {
      continue;
    }
    sockaddr_in address{};
    std::copy_n(reinterpret_cast<const std::uint8_t*>(i->ifa_addr), sizeof address,
                reinterpret_cast<std::uint8_t*>(&address));
    found.push_back({::if_nametoindex(i->ifa_name), i->ifa_name, dotted(address)});
  }
  ::freeifaddrs(list);
  return found;
}

MulticastInterface chosenInterface(const std::string& text) {
  for (auto& interface : multicastInterfaces()) {
    if (interface.name == text || interface.address == text) return interface;
  }
  throw ErrorException(kSacnDomain, 400, "Netwerkinterface " + text + " is er niet op deze computer.");
}

class SacnSender::Transport final : public DmxTransport {
 public:
  Transport(std::unique_ptr<DatagramSocket> socket, std::function<SacnCid()> cid,
            std::function<std::vector<LocalNetwork>()> networks)
      : socket_(std::move(socket)), cid_(std::move(cid)), networks_(std::move(networks)) {}

  void check(const DmxRequest& request) const override {
    sacnDestination(request.targetIp, request.universe, networks_());
    if (multicast(request) && request.networkInterface && !request.networkInterface->empty()) {
      chosenInterface(*request.networkInterface);
    }
  }

  void select(const DmxRequest& request) override {
    Destination next;
    try {
      next.to = sacnDestination(request.targetIp, request.universe, networks_());
      if (multicast(request) && request.networkInterface && !request.networkInterface->empty()) {
        next.interfaceIndex = chosenInterface(*request.networkInterface).index;
      }
    } catch (const ErrorException& e) {
      refused_ = e.error();  // the machine's networks changed since the check
      return;
    }
    refused_.reset();
    next.universe = request.universe;
    next.source = source(request);
    if (lit_ && !(lit_->sameWire(next))) end(*lit_);
    wanted_ = next;
  }

  bool sameStream(const DmxRequest& current, const DmxRequest& next) const override {
    return current.targetIp == next.targetIp && current.universe == next.universe;
  }
  bool reportsFirstFrameFailure() const override { return true; }

  void write(const Stream&, std::span<const std::uint8_t> frame, std::size_t slots, std::int64_t) override {
    if (refused_) throw ErrorException(*refused_);
    if (!wanted_) throw ErrorException(kSacnDomain, 400, "Geen sACN-bestemming.");
    send(*wanted_, 0, frame, slots);
    if (!lit_ || !lit_->sameWire(*wanted_) || !(lit_->source == wanted_->source)) {
      lit_ = wanted_;
      lastLight_.sacn(lit_->to, lit_->interfaceIndex, lit_->universe, lit_->source);
    }
  }

  void blackout(const Stream*) override {
    if (!lit_) return;
    try {
      send(*lit_, 0, {}, kDmxChannels);
    } catch (const ErrorException&) {
      // Best effort: the stream-terminated packets follow at the close.
    }
  }

  void close() override {
    if (lit_) end(*lit_);
    lit_.reset();
    wanted_.reset();
    socket_->close();
  }

  std::int64_t frameNs(std::size_t slots) const override { return dmxFrameNs(slots); }
  std::size_t shortSlots(std::size_t highest) const override { return SacnSender::shortSlots(highest); }

  std::optional<std::pair<std::uint16_t, std::string>> destination() const {
    if (!wanted_) return std::nullopt;
    return std::make_pair(wanted_->universe, dotted(wanted_->to));
  }

 private:
  struct Destination {
    sockaddr_in to{};
    unsigned interfaceIndex = 0;
    std::uint16_t universe = 0;
    SacnSource source;
    bool sameWire(const Destination& other) const {
      return to.sin_addr.s_addr == other.to.sin_addr.s_addr && universe == other.universe &&
             interfaceIndex == other.interfaceIndex;
    }
  };

  static bool multicast(const DmxRequest& request) {
    return request.targetIp.empty() || request.targetIp.starts_with("239.");
  }

  SacnSource source(const DmxRequest& request) {
    SacnSource source;
    if (!cidValue_) cidValue_ = cid_();
    source.cid = *cidValue_;
    source.name = request.sourceName && !request.sourceName->empty() ? *request.sourceName : kDefaultSacnSourceName;
    source.priority = request.priority.value_or(kSacnDefaultPriority);
    return source;
  }

  void send(const Destination& d, std::uint8_t options, std::span<const std::uint8_t> frame, std::size_t slots) {
    if (!socket_->open()) throw ErrorException(kSacnDomain, errno, "sACN UDP-socket kon niet worden geopend.");
    if (d.interfaceIndex != via_) {
      if (!socket_->multicastVia(d.interfaceIndex)) {
        throw ErrorException(kSacnDomain, errno, "sACN kon de netwerkinterface niet kiezen.");
      }
      via_ = d.interfaceIndex;
    }
    const auto packet = sacnDataPacket(d.source, d.universe, sequence::nextSacn(d.universe), options, frame, slots);
    if (!socket_->sendTo(d.to, packet)) {
      throw ErrorException(kSacnDomain, errno, "sACN pakket kon niet worden verzonden.");
    }
  }

  // Receivers let go of the universe at once instead of waiting out their time-out (two senders
  // on one universe would otherwise flicker).
  void end(const Destination& d) {
    for (int i = 0; i < kTerminatedPackets; ++i) {
      try {
        send(d, kSacnStreamTerminated, {}, kDmxChannels);
      } catch (const ErrorException&) {
        // Best effort: receivers time out by themselves.
      }
    }
    lastLight_.none();
  }

  std::unique_ptr<DatagramSocket> socket_;
  std::function<SacnCid()> cid_;
  std::optional<SacnCid> cidValue_;
  std::function<std::vector<LocalNetwork>()> networks_;
  std::optional<Destination> wanted_;  // where the current stream goes
  std::optional<Destination> lit_;     // where the last frame went
  std::optional<Error> refused_;
  unsigned via_ = 0;  // the socket's multicast interface
  LastLight::Slot lastLight_{LastLight::Output::Sacn};
};

SacnSender::SacnSender(Clock& clock) : SacnSender(clock, udpSocket(), installationCid) {}

SacnSender::SacnSender(Clock& clock, std::unique_ptr<DatagramSocket> socket, std::function<SacnCid()> cid,
                       std::function<std::vector<LocalNetwork>()> networks)
    : output_("solvera.sacn", kTickPeriod, clock,
              std::make_unique<Transport>(std::move(socket), std::move(cid), std::move(networks))) {}

SacnSender::Status SacnSender::status() {
  return output_.inspect([](const DmxOutputState& state, DmxTransport& transport) {
    Status status;
    if (auto d = static_cast<Transport&>(transport).destination()) {
      status.universe = d->first;
      status.destination = d->second;
    }
    if (!state.stream) status.universe.reset();
    status.timerRunning = state.timerRunning;
    status.schedule = state.schedule;
    return status;
  });
}

double SacnSender::maxFramesPerSecond(std::size_t slots) { return 1e9 / static_cast<double>(dmxFrameNs(slots)); }

std::size_t SacnSender::shortSlots(std::size_t highest) { return std::clamp<std::size_t>(highest, 24, kDmxChannels); }

}  // namespace solvera::dmx
