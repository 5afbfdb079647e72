// USB Pro line settings through the standard terminal interface.
#include "dmx/serial_line.hpp"

#include <termios.h>

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

}  // namespace solvera::dmx
