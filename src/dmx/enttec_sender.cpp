// USB Pro port opening (with its retry interval) and message writing.
#include "dmx/enttec_sender.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "common/error.hpp"
#include "dmx/dmx_wire.hpp"
#include "dmx/serial_line.hpp"
#include "dmx/serial_ports.hpp"

namespace solvera::dmx {
namespace {

constexpr const char* kEnttecDomain = "SolveraEnttec";
// A healthy widget takes a message at once (the driver buffers several); one that is this far
// behind has stalled.
constexpr auto kFrameWriteLimit = std::chrono::milliseconds(100);

}  // namespace

class EnttecDmxUsbProSender::Transport final : public SerialTransport {
 public:
  using SerialTransport::SerialTransport;

  void open() override {
    if (fileDescriptor_ >= 0) return;
    const std::int64_t now = clock_.monotonicNs();
    if (lastOpenAttemptNs_ != 0 && now - lastOpenAttemptNs_ < kOpenRetryNs) {
      throw ErrorException(kEnttecDomain, 429, "Enttec DMX USB Pro wordt gezocht.");
    }
    lastOpenAttemptNs_ = now;
    // The preferred port is only tried first: another widget may answer instead.
    for (const auto& path : sortedSerialPortCandidates(enttecPortPatterns(), selectedSerialPort_, deviceDir_)) {
      int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) continue;
      if (configureUsbProLine(fd)) {
        // The descriptor stays non-blocking: writeDmxFrame waits for the device itself, with
        // a limit, so a widget that stops reading cannot hold this queue (and the server
        // waiting in send) for ever.
        fileDescriptor_ = fd;
        currentSerialPort_ = path;
        return;
      }
      ::close(fd);
    }
    throw ErrorException(kEnttecDomain, 404, "Geen Enttec DMX USB Pro seriële poort gevonden.");
  }

  std::int64_t frameNs(std::size_t slots) const override { return dmxFrameNs(slots); }

 private:
  void writeDmxFrame(std::span<const std::uint8_t> frame, std::size_t slots) override {
    if (fileDescriptor_ < 0) throw ErrorException(kEnttecDomain, 400, "Enttec DMX USB Pro is niet geopend.");
    const auto message = usbProMessage(kUsbProSendDmxLabel, dmxPayload(frame, slots));
    if (!writeWithin(fileDescriptor_, message, kFrameWriteLimit)) {
      throw ErrorException(kEnttecDomain, 500, "Enttec DMX USB Pro frame kon niet volledig worden geschreven.");
    }
  }

  std::int64_t lastOpenAttemptNs_ = 0;  // 0: never; successful opens count too
};

EnttecDmxUsbProSender::EnttecDmxUsbProSender(Clock& clock, std::string deviceDir)
    : output_("mirowen.enttec-usb-pro", kSerialTickPeriod, clock,
              std::make_unique<Transport>(LastLight::Output::UsbPro, clock, std::move(deviceDir))) {}

SerialSenderStatus EnttecDmxUsbProSender::status() { return output_.inspect(SerialTransport::status); }

double EnttecDmxUsbProSender::maxFramesPerSecond(std::size_t slots) {
  return 1e9 / static_cast<double>(dmxFrameNs(slots));
}

}  // namespace solvera::dmx
