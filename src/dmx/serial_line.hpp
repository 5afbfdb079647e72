// Terminal attributes of the serial interfaces. No terminal headers here: the standard one
// and the kernel's termios2 cannot share a file.
#pragma once

namespace solvera::dmx {

// Raw, 57600 baud, 8N1, receiver on, modem lines and flow control off, VMIN 0 / VTIME 1.
// True when the attributes were written.
bool configureUsbProLine(int fd);

// Raw, 8N2, receiver on, modem lines and flow control off, VMIN 0 / VTIME 1, at exactly baud
// (any rate, not only the standard ones). True when the attributes were written.
bool setDmxLineSpeed(int fd, unsigned baud);

// Raises DTR and RTS, which switch an Open DMX adapter's RS-485 driver to transmit.
// Pseudo-terminals refuse it; callers ignore the result.
bool raiseDtrRts(int fd);

}  // namespace solvera::dmx
