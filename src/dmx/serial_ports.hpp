// Serial device discovery: which device names are candidates, their ranking, and which
// requested port paths are accepted.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace solvera::dmx {

// A device-name rule: names starting with prefix (case-insensitive); with digitsOnly, the rest
// of the name must be one or more digits (Linux's ttyUSB0, ttyACM1).
struct SerialNamePattern {
  std::string prefix;
  bool digitsOnly = false;

  bool matches(std::string_view name) const;
};

// Interfaces that frame DMX themselves (USB Pro widgets).
const std::vector<SerialNamePattern>& enttecPortPatterns();
// FTDI and similar plain USB serial adapters.
const std::vector<SerialNamePattern>& openDmxPortPatterns();

// The folder that holds serial devices: $SOLVERA_SERIAL_DIR when set and not empty, else "/dev".
std::string serialDeviceDir();

// The requested path if it names a serial device directly inside dir (call-out "cu.", dial-in
// "tty." and Linux ttyUSB<n>/ttyACM<n> names); anything else means no preferred port.
std::optional<std::string> sanitizedSerialPort(const std::optional<std::string>& port,
                                               const std::string& dir);

// Case-insensitive order in which runs of digits compare by value (usbmodem2 < usbmodem10).
bool naturalLess(std::string_view a, std::string_view b);

// Ranks device names: "cu." first, then names with "usbserial-" and a letter (FTDI serial
// numbers), then natural order.
void rankSerialPortNames(std::vector<std::string>& names);

// The candidate device paths in dir, best first; a preferred port in the list moves to the
// front, one not in the list is ignored.
std::vector<std::string> sortedSerialPortCandidates(const std::vector<SerialNamePattern>& patterns,
                                                    const std::optional<std::string>& preferredPort,
                                                    const std::string& dir);

}  // namespace solvera::dmx
