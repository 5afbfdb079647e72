// The fatal-signal handler and the watcher process that darken the lamps after any death.
#include "dmx/last_light.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <optional>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>

#include "dmx/dmx_wire.hpp"
#include "dmx/ola_sender.hpp"
#include "dmx/sacn_wire.hpp"
#include "dmx/sequence_numbers.hpp"
#include "dmx/serial_line.hpp"

namespace solvera::dmx {
namespace {

constexpr auto kDarkWriteLimit = std::chrono::milliseconds(100);
constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGQUIT, SIGHUP};

enum State : int { kFree, kDark, kLit };

// A network output's dark frame, ready to go: a whole ArtDmx packet, or an E1.31 packet whose
// sequence number is filled in when it is sent.
struct Destination {
  sockaddr_in to{};
  unsigned interfaceIndex = 0;  // 0: as routed
  std::array<std::uint8_t, kSacnPacketBytes> black{};
  std::size_t size = 0;
  std::uint16_t universe = 0;
  bool artSync = false;
};

// One output's place. The handler reads only atomics, the descriptor number (fixed at install)
// and the network destination that `live` names while it counts itself among its readers.
struct Place {
  Destination destinations[2];
  std::atomic<int> state{kFree};
  std::atomic<int> kind{0};
  int fd = -1;  // serial: the port duplicated onto it, or /dev/null
  std::atomic<int> live{0};
  std::atomic<int> readers[2] = {0, 0};
};

std::atomic<bool> installed{false};
std::atomic<bool> armed{false};
std::atomic<bool> struckDown{false};
std::mutex updates;
Place places[LastLight::kSlots];
int devNull = -1;
int udpFd = -1;      // for the handler's Art-Net packets
int watcherFd = -1;  // the socket to the watcher; its closing is how the watcher learns of a death
std::array<std::uint8_t, 518> usbProBlack{};
DmxPayload openDmxBlack{};
struct sigaction previous[std::size(kFatalSignals)];

void tellWatcher(const std::string& line) {
  if (watcherFd >= 0) ::send(watcherFd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

const char* wordFor(LastLight::Output output) {
  switch (output) {
    case LastLight::Output::ArtNet:
      return "artnet";
    case LastLight::Output::UsbPro:
      return "usbpro";
    case LastLight::Output::OpenDmx:
      return "opendmx";
    case LastLight::Output::Sacn:
      return "sacn";
    case LastLight::Output::Ola:
      return "ola";
  }
  return "";
}

void blackOnSerial(LastLight::Output output, int fd) {
  if (output == LastLight::Output::UsbPro) {
    writeWithin(fd, usbProBlack, kDarkWriteLimit);
  } else {
    writeOpenDmxLine(fd, openDmxBlack);
  }
}

// One datagram, out of a chosen interface when one is given. Async-signal-safe.
void sendDatagram(int fd, const std::uint8_t* bytes, std::size_t size, const sockaddr_in& to, unsigned interfaceIndex) {
  iovec data{const_cast<std::uint8_t*>(bytes), size};
  msghdr message{};
  message.msg_name = const_cast<sockaddr_in*>(&to);
  message.msg_namelen = sizeof to;
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  if (interfaceIndex != 0) {
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = IPPROTO_IP;
    header->cmsg_type = IP_PKTINFO;
    header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_ifindex = static_cast<int>(interfaceIndex);
    std::memcpy(CMSG_DATA(header), &info, sizeof info);
  }
  ::sendmsg(fd, &message, MSG_NOSIGNAL);
}

// The dark frame of a destination, then what ends its stream: an ArtSync for a node that holds
// frames for one, three stream-terminated packets for sACN. Async-signal-safe.
void sendBlack(int fd, const Destination& d, LastLight::Output kind) {
  if (kind == LastLight::Output::ArtNet) {
    sendDatagram(fd, d.black.data(), d.size, d.to, 0);
    if (d.artSync) {
      const auto sync = artSyncPacket();
      sendDatagram(fd, sync.data(), sync.size(), d.to, 0);
    }
    return;
  }
  std::array<std::uint8_t, kSacnPacketBytes> packet = d.black;
  for (int i = 0; i < 4; ++i) {
    packet[kSacnSequenceOffset] = sequence::nextSacn(d.universe);
    packet[kSacnOptionsOffset] = i == 0 ? 0 : kSacnStreamTerminated;
    sendDatagram(fd, packet.data(), d.size, d.to, d.interfaceIndex);
  }
}

void blackOnNetwork(Place& place, LastLight::Output kind) {
  // Counted among the readers of the destination that is live after counting, so an update
  // never rewrites it under us; two tries, as an update may switch between load and count.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int b = place.live.load();
    ++place.readers[b];
    if (place.live.load() == b) {
      sendBlack(udpFd, place.destinations[b], kind);
      --place.readers[b];
      return;
    }
    --place.readers[b];
  }
}

void onFatalSignal(int sig, siginfo_t* info, void* context) {
  if (armed.load()) {
    struckDown = true;  // before the dark frames, so no tick lights a lamp after them
    for (Place& place : places) {
      if (place.state.load() != kLit) continue;
      const auto kind = static_cast<LastLight::Output>(place.kind.load());
      if (kind == LastLight::Output::ArtNet || kind == LastLight::Output::Sacn) {
        blackOnNetwork(place, kind);
      } else if (kind == LastLight::Output::Ola) {
        // A client library call is no work for a signal handler: the watcher does it.
      } else {
        blackOnSerial(kind, place.fd);
      }
    }
  }
  // Then whatever handled this signal before (a sanitizer's report, or the default action).
  for (std::size_t i = 0; i < std::size(kFatalSignals); ++i) {
    if (kFatalSignals[i] != sig) continue;
    ::sigaction(sig, &previous[i], nullptr);
    const auto& before = previous[i];
    if ((before.sa_flags & SA_SIGINFO) && before.sa_sigaction) {
      before.sa_sigaction(sig, info, context);
    } else if (before.sa_handler != SIG_DFL && before.sa_handler != SIG_IGN) {
      before.sa_handler(sig);
    } else if (info->si_code <= 0) {
      ::raise(sig);  // sent, not caused: delivered again once this handler returns
    }
    // A fault caused by an instruction comes back when the instruction runs again.
  }
}

// ---- the watcher ----------------------------------------------------------------------------

std::string hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char c : bytes) {
    text += kDigits[c >> 4];
    text += kDigits[c & 0x0F];
  }
  return text;
}

std::string unhex(std::string_view text) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16));
  }
  return bytes;
}

// What the watcher was told of a network output: "<ip> <universe> <sync>" for Art-Net,
// "<ip> <universe> <interface> <priority> <cid> <name in hex>" for sACN.
std::optional<Destination> toldDestination(const std::string& output, const std::string& told) {
  std::istringstream in(told);
  std::string ip;
  unsigned universe = 0;
  in >> ip >> universe;
  Destination d;
  d.to.sin_family = AF_INET;
  d.to.sin_port = htons(output == "sacn" ? kSacnPort : 6454);
  if (!in || ::inet_pton(AF_INET, ip.c_str(), &d.to.sin_addr) != 1) return std::nullopt;
  d.universe = static_cast<std::uint16_t>(universe);
  if (output == "artnet") {
    int sync = 0;
    in >> sync;
    d.artSync = sync != 0;
    const auto black = buildArtDmxPacket({}, d.universe);
    std::copy(black.begin(), black.end(), d.black.begin());
    d.size = black.size();
    return d;
  }
  unsigned priority = 0;
  std::string cid, name;
  in >> d.interfaceIndex >> priority >> cid >> name;
  SacnSource source;
  auto parsed = parseCid(cid);
  if (!parsed) return std::nullopt;
  source.cid = *parsed;
  source.priority = static_cast<std::uint8_t>(priority);
  try {
    source.name = unhex(name);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  const auto black = sacnDataPacket(source, d.universe, 0, 0, {}, kDmxChannels);
  std::copy(black.begin(), black.end(), d.black.begin());
  d.size = black.size();
  return d;
}

// Per place: the output's word, a space and its destination.
void blackWhereTold(const std::map<std::string, std::string>& where) {
  for (const auto& [place, told] : where) {
    const auto space = told.find(' ');
    if (space == std::string::npos) continue;
    const std::string output = told.substr(0, space), destination = told.substr(space + 1);
    if (output == "artnet" || output == "sacn") {
      if (auto d = toldDestination(output, destination)) {
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
        sendBlack(fd, *d, output == "sacn" ? LastLight::Output::Sacn : LastLight::Output::ArtNet);
        ::close(fd);
      }
      continue;
    }
    if (output == "ola") {
      std::istringstream in(destination);
      unsigned port = 0, universe = 0;
      if (in >> port >> universe) darkenOlaUniverse(static_cast<std::uint16_t>(port), universe);
      continue;
    }
    int fd = ::open(destination.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    if (output == "usbpro" && configureUsbProLine(fd)) blackOnSerial(LastLight::Output::UsbPro, fd);
    if (output == "opendmx" && setDmxLineSpeed(fd, 250'000))
      blackOnSerial(LastLight::Output::OpenDmx, fd);
    ::close(fd);
  }
}

[[noreturn]] void watch(int fd) {
  // Nothing of the program's: no terminal, no signals meant for it, no other descriptors.
  int null = ::open("/dev/null", O_RDWR);
  for (int std = 0; std < 3; ++std) ::dup2(null, std);
  ::close_range(3, static_cast<unsigned>(fd) - 1, 0);
  ::close_range(static_cast<unsigned>(fd) + 1, ~0U, 0);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) ::signal(sig, SIG_IGN);
  ::setsid();

  std::map<std::string, std::string> where;
  std::string pending;
  char buffer[512];
  while (true) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the program is gone
    pending.append(buffer, static_cast<std::size_t>(n));
    for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (line == "end") ::_exit(0);
      // "<place> <output> <destination>", or "<place> -" when it went dark.
      auto space = line.find(' ');
      if (space == std::string::npos) continue;
      std::string place = line.substr(0, space), told = line.substr(space + 1);
      if (told == "-")
        where.erase(place);
      else
        where[place] = told;
    }
  }
  blackWhereTold(where);
  ::_exit(0);
}

// The threads of this process, from the kernel's own count.
int threadCount() {
  std::FILE* status = std::fopen("/proc/self/status", "re");
  if (status == nullptr) return 1;
  int threads = 1;
  char line[256];
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, "Threads:", 8) == 0) {
      threads = static_cast<int>(std::strtol(line + 8, nullptr, 10));
      break;
    }
  }
  std::fclose(status);
  return threads;
}

// Threads a shared library starts while it loads (WebKit's heap scavenger) run before main
// and cannot be ordered; the watcher must be forked before any thread started after them.
const int threadsAtLoad = threadCount();

}  // namespace

void LastLight::install() {
  if (installed.exchange(true)) return;
  // A child forked beside other threads may find a lock held for ever that one of them had
  // taken; the watcher takes locks (it allocates), so it is forked before our threads start.
  if (const int threads = threadCount(); threads > threadsAtLoad) {
    std::fprintf(stderr, "solvera-pro: the lamp watcher was forked beside %d threads started since loading\n",
                 threads - threadsAtLoad);
  }
  // The watcher numbers its sACN packets on from the program's count.
  sequence::shareWithChildren();
  const auto usbPro = usbProMessage(kUsbProSendDmxLabel, dmxPayload({}));
  std::copy(usbPro.begin(), usbPro.end(), usbProBlack.begin());
  openDmxBlack = dmxPayload({});
  udpFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  for (Place& place : places) place.fd = ::fcntl(devNull, F_DUPFD_CLOEXEC, 3);
  int one = 1;
  ::setsockopt(udpFd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);

  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0) {
    // Forked twice, so that the watcher is nobody's child here: should another program take
    // over this process image, no zombie is left to it.
    pid_t pid = ::fork();
    if (pid == 0) {
      ::close(pair[0]);
      if (::fork() == 0) watch(pair[1]);
      ::_exit(0);
    }
    if (pid > 0) ::waitpid(pid, nullptr, 0);
    ::close(pair[1]);
    if (pid > 0)
      watcherFd = pair[0];
    else
      ::close(pair[0]);
  }

  for (std::size_t i = 0; i < std::size(kFatalSignals); ++i) {
    struct sigaction action {};
    action.sa_sigaction = onFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    ::sigaction(kFatalSignals[i], &action, &previous[i]);
    // A signal the program was started to ignore (SIGHUP under nohup) ends nothing.
    if (!(previous[i].sa_flags & SA_SIGINFO) && previous[i].sa_handler == SIG_IGN) {
      ::sigaction(kFatalSignals[i], &previous[i], nullptr);
    }
  }
  armed = true;
}

LastLight::Slot::~Slot() {
  none();
  if (index_ >= 0) places[index_].state = kFree;
}

bool LastLight::Slot::take() {
  if (index_ >= 0) return true;
  if (!installed) return false;
  for (int i = 0; i < kSlots; ++i) {
    int free = kFree;
    if (places[i].state.compare_exchange_strong(free, kDark)) {
      places[i].kind = static_cast<int>(kind_);
      index_ = i;
      return true;
    }
  }
  return false;
}

namespace {

// Switches a place to a new destination without a moment where the handler could read half of
// it. Under the updates lock.
void publish(int index, LastLight::Output kind, const Destination& next, const std::string& told) {
  Place& place = places[index];
  const int spare = 1 - place.live.load();
  // A handler on another thread may still read the spare from before the last switch.
  while (place.readers[spare].load() != 0) {
  }
  place.destinations[spare] = next;
  place.live = spare;
  place.state = kLit;
  tellWatcher(std::to_string(index) + " " + wordFor(kind) + " " + told + "\n");
}

}  // namespace

void LastLight::Slot::artNet(const std::string& targetIp, std::uint16_t universe, bool withSync) {
  std::lock_guard lock(updates);
  if (!take()) return;
  Destination next;
  next.to.sin_family = AF_INET;
  next.to.sin_port = htons(6454);
  if (::inet_pton(AF_INET, targetIp.c_str(), &next.to.sin_addr) != 1) return;
  const auto black = buildArtDmxPacket({}, universe);
  std::copy(black.begin(), black.end(), next.black.begin());
  next.size = black.size();
  next.artSync = withSync;
  publish(index_, kind_, next, targetIp + " " + std::to_string(universe) + (withSync ? " 1" : " 0"));
}

void LastLight::Slot::sacn(const sockaddr_in& to, unsigned interfaceIndex, std::uint16_t universe,
                           const SacnSource& source) {
  std::lock_guard lock(updates);
  if (!take()) return;
  Destination next;
  next.to = to;
  next.interfaceIndex = interfaceIndex;
  next.universe = universe;
  const auto black = sacnDataPacket(source, universe, 0, 0, {}, kDmxChannels);
  std::copy(black.begin(), black.end(), next.black.begin());
  next.size = black.size();
  char ip[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &to.sin_addr, ip, sizeof ip);
  publish(index_, kind_, next, std::string(ip) + " " + std::to_string(universe) + " " + std::to_string(interfaceIndex) + " " +
                    std::to_string(source.priority) + " " + cidText(source.cid) + " " +
                    hex(source.name.substr(0, kSacnSourceNameBytes - 1)) + (source.name.empty() ? "00" : ""));
}

void LastLight::Slot::serial(const std::string& devicePath, int fd) {
  std::lock_guard lock(updates);
  if (!take()) return;
  Place& place = places[index_];
  // The place's number now stands for the port; what it stood for before is closed with it.
  if (::dup3(fd, place.fd, O_CLOEXEC) < 0) return;
  place.state = kLit;
  tellWatcher(std::to_string(index_) + " " + wordFor(kind_) + " " + devicePath + "\n");
}

void LastLight::Slot::ola(std::uint16_t port, unsigned universe) {
  std::lock_guard lock(updates);
  if (!take()) return;
  places[index_].state = kLit;
  tellWatcher(std::to_string(index_) + " ola " + std::to_string(port) + " " + std::to_string(universe) + "\n");
}

void LastLight::Slot::none() {
  std::lock_guard lock(updates);
  if (index_ < 0) return;
  Place& place = places[index_];
  if (place.state.exchange(kDark) != kLit) return;
  if (kind_ == Output::UsbPro || kind_ == Output::OpenDmx) ::dup3(devNull, place.fd, O_CLOEXEC);  // lets the port go
  tellWatcher(std::to_string(index_) + " -\n");
}

bool LastLight::struck() { return struckDown.load(); }

void LastLight::disarm() {
  if (!installed) return;
  std::lock_guard lock(updates);
  armed = false;
  tellWatcher("end\n");
}

}  // namespace solvera::dmx
