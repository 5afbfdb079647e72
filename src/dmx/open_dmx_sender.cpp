// Open DMX port opening, the baud-rate break and the non-blocking frame write.
#include "dmx/open_dmx_sender.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "common/error.hpp"
#include "dmx/dmx_wire.hpp"
#include "dmx/serial_line.hpp"

namespace solvera::dmx {
namespace {

constexpr const char* kOpenDmxDomain = "SolveraOpenDmx";
// The break byte (11 bits at 38 400 baud), the waits around it, two speed changes and a
// margin for the adapter's own buffer.
constexpr std::int64_t kBreakToDataNs = 286'000 + 600'000 + 24'000 + 500'000;

std::int64_t openDmxFrameNs(std::size_t slots) { return dmxFrameNs(slots, kBreakToDataNs); }

}  // namespace

class OpenDmxFtdiSender::Transport final : public SerialTransport {
 public:
  using SerialTransport::SerialTransport;

  void open() override {
    if (fileDescriptor_ >= 0) return;
    std::vector<std::string> failures;
    for (const auto& path : availablePorts(selectedSerialPort_, deviceDir_)) {
      int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) {
        failures.push_back(path + ": " + std::strerror(errno));
        continue;
      }
      if (configureSerial(fd)) {
        fileDescriptor_ = fd;  // stays non-blocking: frame writes retry on their own
        currentSerialPort_ = path;
        return;
      }
      failures.push_back(path + ": serial config mislukt");
      ::close(fd);
    }
    std::string message = selectedSerialPort_ ? "Gekozen FTDI/Open DMX poort kon niet worden geopend."
                                              : "Geen FTDI/Open DMX seriële poort gevonden.";
    for (std::size_t i = 0; i < failures.size(); ++i) message += (i == 0 ? " " : "; ") + failures[i];
    throw ErrorException(kOpenDmxDomain, 404, message);
  }

  std::int64_t frameNs(std::size_t slots) const override { return openDmxFrameNs(slots); }

 private:

  static bool configureSerial(int fd) {
    if (!setDmxLineSpeed(fd, kDmxBaud)) return false;
    raiseDtrRts(fd);
    return true;
  }

  void writeDmxFrame(std::span<const std::uint8_t> frame, std::size_t slots) override {
    if (fileDescriptor_ < 0) throw ErrorException(kOpenDmxDomain, 400, "FTDI/Open DMX interface is niet geopend.");
    switch (writeOpenDmxLine(fileDescriptor_, dmxPayload(frame, slots))) {
      case OpenDmxLine::Written:
        return;
      case OpenDmxLine::SpeedNotLowered:
        throw ErrorException(kOpenDmxDomain, 500, "FTDI/Open DMX kon baudrate niet tijdelijk verlagen.");
      case OpenDmxLine::BreakNotSent:
        throw ErrorException(kOpenDmxDomain, 500, "FTDI/Open DMX break kon niet worden verzonden.");
      case OpenDmxLine::Incomplete:
        break;
    }
    throw ErrorException(kOpenDmxDomain, 500,
                         "FTDI/Open DMX frame kon niet volledig worden geschreven naar " +
                             currentSerialPort_.value_or("onbekende poort") + ".");
  }
};

std::vector<std::string> OpenDmxFtdiSender::availablePorts(const std::optional<std::string>& preferredPort,
                                                           const std::string& deviceDir) {
  return sortedSerialPortCandidates(openDmxPortPatterns(), preferredPort, deviceDir);
}

OpenDmxFtdiSender::OpenDmxFtdiSender(Clock& clock, std::string deviceDir)
    : output_("mirowen.open-dmx-ftdi", kSerialTickPeriod, clock,
              std::make_unique<Transport>(LastLight::Output::OpenDmx, clock, std::move(deviceDir))) {}

SerialSenderStatus OpenDmxFtdiSender::status() { return output_.inspect(SerialTransport::status); }

double OpenDmxFtdiSender::maxFramesPerSecond(std::size_t slots) {
  return 1e9 / static_cast<double>(openDmxFrameNs(slots));
}

}  // namespace solvera::dmx
