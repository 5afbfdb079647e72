// Reads a terminal's attributes through termios2, which shows arbitrary baud rates.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "dmx/tests/dmx_test_support.hpp"

namespace solvera::dmx::test {

std::optional<LineSettings> lineSettings(const std::string& ttyPath) {
  int fd = ::open(ttyPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct termios2 t {};
  int result = ::ioctl(fd, TCGETS2, &t);
  ::close(fd);
  if (result != 0) return std::nullopt;
  LineSettings s;
  s.outputBaud = t.c_ospeed;
  s.eightBits = (t.c_cflag & CSIZE) == CS8;
  s.twoStopBits = t.c_cflag & CSTOPB;
  s.parity = t.c_cflag & PARENB;
  s.receiver = t.c_cflag & CREAD;
  s.local = t.c_cflag & CLOCAL;
  s.hardwareFlow = t.c_cflag & CRTSCTS;
  s.inputFlags = t.c_iflag;
  s.outputFlags = t.c_oflag;
  s.localFlags = t.c_lflag;
  s.vmin = t.c_cc[VMIN];
  s.vtime = t.c_cc[VTIME];
  return s;
}

}  // namespace solvera::dmx::test
