// USB Pro line settings through the standard terminal interface.
#include "dmx/serial_line.hpp"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace solvera::dmx {

bool configureUsbProLine(int fd) {
  termios t{};
  if (::tcgetattr(fd, &t) != 0) return false;
  ::cfmakeraw(&t);
  ::cfsetspeed(&t, B57600);
  t.c_cflag |= CS8 | CREAD | CLOCAL;
  t.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
  t.c_iflag = 0;
  t.c_oflag = 0;
  t.c_lflag = 0;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 1;
  return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

bool writeWithin(int fd, std::span<const std::uint8_t> bytes, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLOUT, 0};
    ::poll(&p, 1, static_cast<int>(left.count()));
  }
  return true;
}

namespace {
constexpr unsigned kDmxBaud = 250'000;
// One zero byte at 38 400 baud holds the line low for nine bit times (~234 us): the break.
constexpr unsigned kBreakBaud = 38'400;
constexpr auto kBreakWait = std::chrono::microseconds(600);
constexpr auto kMarkAfterBreak = std::chrono::microseconds(24);
constexpr auto kLineWriteLimit = std::chrono::milliseconds(50);
}  // namespace

OpenDmxLine writeOpenDmxLine(int fd, std::span<const std::uint8_t> startCodeAndChannels) {
  raiseDtrRts(fd);  // every frame: adapters drop transmit-enable on their own
  if (!setDmxLineSpeed(fd, kBreakBaud)) return OpenDmxLine::SpeedNotLowered;
  const std::uint8_t zero = 0x00;
  ssize_t written = ::write(fd, &zero, 1);
  std::this_thread::sleep_for(kBreakWait);
  if (written != 1 || !setDmxLineSpeed(fd, kDmxBaud)) return OpenDmxLine::BreakNotSent;
  std::this_thread::sleep_for(kMarkAfterBreak);
  return writeWithin(fd, startCodeAndChannels, kLineWriteLimit) ? OpenDmxLine::Written : OpenDmxLine::Incomplete;
}

}  // namespace solvera::dmx
