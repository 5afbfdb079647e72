// Stream, ticks and port selection shared by the USB Pro and Open DMX outputs.
#include "dmx/serial_sender.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <vector>

#include "common/error.hpp"
#include "dmx/serial_ports.hpp"

namespace solvera::dmx {

SerialSenderCore::SerialSenderCore(SerialQueue& queue, Clock& clock, std::string deviceDir)
    : queue_(queue), clock_(clock), deviceDir_(std::move(deviceDir)) {}

void SerialSenderCore::send(const DmxRequest& request) {
  auto port = sanitizedSerialPort(request.serialPort, deviceDir_);
  if (port != selectedSerialPort_) {
    closePort();
    selectedSerialPort_ = std::move(port);
  }
  openIfNeeded();  // on failure the previous stream, if any, stays current
  std::int64_t epoch = stream_ ? stream_->pulseEpoch : clock_.monotonicNs();
  stream_ = prepareStream(request, epoch);
  startTimerIfNeeded();
  sendStreamNow();
}

void SerialSenderCore::startTimerIfNeeded() {
  if (timer_) return;
  timer_ = std::make_unique<RepeatingTimer>(queue_);
  timer_->start(std::chrono::nanoseconds(0), kTickPeriod,
                weakly(shared_from_this(), [](SerialSenderCore& core) { core.sendStreamNow(); }));
}

void SerialSenderCore::sendStreamNow() {
  if (!stream_) return;
  try {
    openIfNeeded();
    auto frame = modulateFrame(*stream_, clock_.monotonicNs());
    writeDmxFrame(frame);
  } catch (const std::exception&) {
    // Nobody waits for a tick: close, and a later tick looks for the device again.
    closePort();
  }
}

void SerialSenderCore::stop() {
  stream_.reset();
  timer_.reset();
  closePort();
}

void SerialSenderCore::blackoutAndStop() {
  if (fileDescriptor_ >= 0) {
    // A stalled device must not hold the queue at exit.
    ::fcntl(fileDescriptor_, F_SETFL, O_NONBLOCK);
    try {
      writeDmxFrame(std::vector<std::uint8_t>(kDmxChannels, 0));
    } catch (const std::exception&) {
      // Best effort at exit: nothing is left to tell.
    }
  }
  stop();
}

void SerialSenderCore::release() {
  timer_.reset();
  closePort();
}

void SerialSenderCore::closePort() {
  if (fileDescriptor_ < 0) return;
  ::close(fileDescriptor_);
  fileDescriptor_ = -1;
  currentSerialPort_.reset();
}

SerialSenderStatus SerialSenderCore::status() const {
  SerialSenderStatus status;
  status.streaming = stream_.has_value();
  status.timerRunning = timer_ && timer_->isActive();
  status.openPort = currentSerialPort_;
  status.selectedSerialPort = selectedSerialPort_;
  if (stream_) status.frame = stream_->request.dmx;
  return status;
}

}  // namespace solvera::dmx
