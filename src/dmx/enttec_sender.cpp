// USB Pro port opening (with its retry interval) and message writing.
#include "dmx/enttec_sender.hpp"

#include <fcntl.h>
#include <unistd.h>

#include "common/error.hpp"
#include "dmx/dmx_wire.hpp"
#include "dmx/thread_timing.hpp"
#include "dmx/serial_line.hpp"
#include "dmx/serial_ports.hpp"

namespace solvera::dmx {
namespace {
constexpr const char* kDomain = "SolveraEnttec";
}

class EnttecDmxUsbProSender::Core final : public SerialSenderCore {
 public:
  using SerialSenderCore::SerialSenderCore;

 private:
  void openIfNeeded() override {
    if (fileDescriptor_ >= 0) return;
    const std::int64_t now = clock_.monotonicNs();
    if (lastOpenAttemptNs_ != 0 && now - lastOpenAttemptNs_ < kOpenRetryNs) {
      throw ErrorException(kDomain, 429, "Enttec DMX USB Pro wordt gezocht.");
    }
    lastOpenAttemptNs_ = now;
    // The preferred port is only tried first: another widget may answer instead.
    for (const auto& path : sortedSerialPortCandidates(enttecPortPatterns(), selectedSerialPort_, deviceDir_)) {
      int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) continue;
      if (configureUsbProLine(fd)) {
        ::fcntl(fd, F_SETFL, 0);  // blocking writes from here on
        fileDescriptor_ = fd;
        currentSerialPort_ = path;
        return;
      }
      ::close(fd);
    }
    throw ErrorException(kDomain, 404, "Geen Enttec DMX USB Pro seriële poort gevonden.");
  }

  void writeDmxFrame(std::span<const std::uint8_t> frame) override {
    if (fileDescriptor_ < 0) throw ErrorException(kDomain, 400, "Enttec DMX USB Pro is niet geopend.");
    const DmxPayload payload = dmxPayload(frame);
    const auto message = usbProMessage(kUsbProSendDmxLabel, payload);
    ssize_t written = ::write(fileDescriptor_, message.data(), message.size());
    if (written != static_cast<ssize_t>(message.size())) {
      throw ErrorException(kDomain, 500, "Enttec DMX USB Pro frame kon niet volledig worden geschreven.");
    }
  }

  std::int64_t lastOpenAttemptNs_ = 0;  // 0: never; successful opens count too
};

EnttecDmxUsbProSender::EnttecDmxUsbProSender(Clock& clock, std::string deviceDir)
    : queue_("mirowen.enttec-usb-pro"),
      core_(std::make_shared<Core>(queue_, clock, std::move(deviceDir))) {
  queue_.post(requestPromptWakeups);
}

EnttecDmxUsbProSender::~EnttecDmxUsbProSender() {
  queue_.shutdown();  // a queued blackout still goes out
  core_->release();
  core_.reset();
}

void EnttecDmxUsbProSender::send(const DmxRequest& request) {
  queue_.sync([&] { core_->send(request); });
}

void EnttecDmxUsbProSender::stop() {
  queue_.post([weak = std::weak_ptr<Core>(core_)] {
    if (auto core = weak.lock()) core->stop();
  });
}

void EnttecDmxUsbProSender::blackoutAndStop() {
  queue_.post([weak = std::weak_ptr<Core>(core_)] {
    if (auto core = weak.lock()) core->blackoutAndStop();
  });
}

SerialSenderStatus EnttecDmxUsbProSender::status() {
  return queue_.sync([&] { return core_->status(); });
}

}  // namespace solvera::dmx
