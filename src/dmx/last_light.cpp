// The fatal-signal handler and the watcher process that darken the lamps after any death.
#include "dmx/last_light.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <csignal>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>

#include "dmx/dmx_wire.hpp"
#include "dmx/serial_line.hpp"

namespace solvera::dmx {
namespace {

constexpr auto kWriteLimit = std::chrono::milliseconds(100);
constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGQUIT, SIGHUP};
constexpr int kOutputs = 3;

// What the handler reads: written under the mutex with `ready` down, so a handler that
// interrupts an update skips that output.
struct Slot {
  std::atomic<bool> ready{false};
  int fd = -1;  // our own duplicate of a serial port; the output may close its own at any time
  sockaddr_in to{};
  ArtDmxPacket artNetBlack{};
};

std::atomic<bool> installed{false};
std::mutex updates;
Slot slots[kOutputs];
int udpFd = -1;      // for the handler's Art-Net packet
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
  }
  return "";
}

void blackOnSerial(LastLight::Output output, int fd) {
  if (output == LastLight::Output::UsbPro) {
    writeWithin(fd, usbProBlack, kWriteLimit);
  } else {
    writeOpenDmxLine(fd, openDmxBlack);
  }
}

void onFatalSignal(int sig, siginfo_t* info, void* context) {
  for (int i = 0; i < kOutputs; ++i) {
    Slot& slot = slots[i];
    if (!slot.ready.load()) continue;
    if (i == static_cast<int>(LastLight::Output::ArtNet)) {
      ::sendto(udpFd, slot.artNetBlack.data(), slot.artNetBlack.size(), 0,
               reinterpret_cast<const sockaddr*>(&slot.to), sizeof slot.to);
    } else if (slot.fd >= 0) {
      blackOnSerial(static_cast<LastLight::Output>(i), slot.fd);
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

void blackWhereTold(const std::map<std::string, std::string>& where) {
  for (const auto& [output, destination] : where) {
    if (output == "artnet") {
      std::istringstream in(destination);
      std::string ip;
      unsigned universe = 0;
      in >> ip >> universe;
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(6454);
      if (::inet_pton(AF_INET, ip.c_str(), &to.sin_addr) != 1) continue;
      int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      int one = 1;
      ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
      const auto black = buildArtDmxPacket({}, static_cast<std::uint16_t>(universe));
      ::sendto(fd, black.data(), black.size(), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to);
      ::close(fd);
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
      auto space = line.find(' ');
      if (space == std::string::npos) continue;
      std::string output = line.substr(0, space), destination = line.substr(space + 1);
      if (destination == "-")
        where.erase(output);
      else
        where[output] = destination;
    }
  }
  blackWhereTold(where);
  ::_exit(0);
}

}  // namespace

void LastLight::install() {
  if (installed.exchange(true)) return;
  const auto usbPro = usbProMessage(kUsbProSendDmxLabel, dmxPayload({}));
  std::copy(usbPro.begin(), usbPro.end(), usbProBlack.begin());
  openDmxBlack = dmxPayload({});
  udpFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(udpFd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);

  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0) {
    pid_t pid = ::fork();
    if (pid == 0) {
      ::close(pair[0]);
      watch(pair[1]);
    }
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
}

void LastLight::artNet(const std::string& targetIp, std::uint16_t universe) {
  if (!installed) return;
  std::lock_guard lock(updates);
  Slot& slot = slots[static_cast<int>(Output::ArtNet)];
  slot.ready = false;
  slot.to = {};
  slot.to.sin_family = AF_INET;
  slot.to.sin_port = htons(6454);
  if (::inet_pton(AF_INET, targetIp.c_str(), &slot.to.sin_addr) != 1) return;
  slot.artNetBlack = buildArtDmxPacket({}, universe);
  slot.ready = true;
  tellWatcher("artnet " + targetIp + " " + std::to_string(universe) + "\n");
}

void LastLight::serial(Output output, const std::string& devicePath, int fd) {
  if (!installed) return;
  std::lock_guard lock(updates);
  Slot& slot = slots[static_cast<int>(output)];
  slot.ready = false;
  if (slot.fd >= 0) ::close(slot.fd);
  slot.fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  slot.ready = slot.fd >= 0;
  tellWatcher(std::string(wordFor(output)) + " " + devicePath + "\n");
}

void LastLight::none(Output output) {
  if (!installed) return;
  std::lock_guard lock(updates);
  Slot& slot = slots[static_cast<int>(output)];
  slot.ready = false;
  if (slot.fd >= 0) ::close(slot.fd);
  slot.fd = -1;
  tellWatcher(std::string(wordFor(output)) + " -\n");
}

void LastLight::disarm() {
  if (!installed) return;
  std::lock_guard lock(updates);
  for (Slot& slot : slots) slot.ready = false;
  tellWatcher("end\n");
}

}  // namespace solvera::dmx
