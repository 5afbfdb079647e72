// Arbitrary baud rates (250 000 and 38 400 for the DMX line and its break) through the
// kernel's termios2 and BOTHER, which <termios.h> does not offer.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "dmx/serial_line.hpp"

namespace solvera::dmx {

bool setDmxLineSpeed(int fd, unsigned baud) {
  struct termios2 t {};
  if (::ioctl(fd, TCGETS2, &t) != 0) return false;
  // Raw mode with every input, output and local flag cleared.
  t.c_iflag = 0;
  t.c_oflag = 0;
  t.c_lflag = 0;
  t.c_cflag &= ~(CSIZE | PARENB | CRTSCTS | CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= CS8 | CSTOPB | CREAD | CLOCAL | BOTHER | (BOTHER << IBSHIFT);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 1;
  t.c_ispeed = baud;
  t.c_ospeed = baud;
  return ::ioctl(fd, TCSETS2, &t) != -1;
}

bool raiseDtrRts(int fd) {
  int lines = TIOCM_DTR | TIOCM_RTS;
  return ::ioctl(fd, TIOCMBIS, &lines) == 0;
}

}  // namespace solvera::dmx
