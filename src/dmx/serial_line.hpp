// Terminal attributes of the serial interfaces. No terminal headers here: the standard one
// and the kernel's termios2 cannot share a file.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>

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

// Writes all bytes to a non-blocking descriptor like a blocking write would, but gives up
// once the limit has passed. Only system calls: callable from a signal handler.
bool writeWithin(int fd, std::span<const std::uint8_t> bytes, std::chrono::milliseconds limit);

enum class OpenDmxLine { Written, SpeedNotLowered, BreakNotSent, Incomplete };
// One Open DMX frame on the line: DTR and RTS raised, the break as one zero byte at 38 400 baud,
// then start code and channels at 250 000 baud. Only system calls: callable from a signal
// handler.
OpenDmxLine writeOpenDmxLine(int fd, std::span<const std::uint8_t> startCodeAndChannels);

}  // namespace solvera::dmx
