// Port selection and blackout shared by the USB Pro and Open DMX outputs.
#include "dmx/serial_sender.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "common/error.hpp"
#include "dmx/serial_ports.hpp"

namespace solvera::dmx {

SerialTransport::SerialTransport(LastLight::Output output, Clock& clock, std::string deviceDir)
    : lastLight_(output), clock_(clock), deviceDir_(std::move(deviceDir)) {}

SerialTransport::~SerialTransport() { closePort(); }

void SerialTransport::select(const DmxRequest& request) {
  auto port = sanitizedSerialPort(request.serialPort, deviceDir_);
  if (port != selectedSerialPort_) {
    closePort();
    selectedSerialPort_ = std::move(port);
  }
}

void SerialTransport::write(const Stream&, std::span<const std::uint8_t> frame, std::size_t slots, std::int64_t) {
  writeDmxFrame(frame, slots);
  if (!lit_) lastLight_.serial(currentSerialPort_.value_or(""), fileDescriptor_);
  lit_ = true;
}

void SerialTransport::blackout(const Stream*) {
  if (fileDescriptor_ < 0) return;
  // A stalled device must not hold the queue at exit.
  ::fcntl(fileDescriptor_, F_SETFL, O_NONBLOCK);
  try {
    writeDmxFrame({}, kDmxChannels);
  } catch (const std::exception&) {
    // Best effort at exit: nothing is left to tell.
  }
}

std::size_t serialShortSlots(std::size_t highest) {
  return std::clamp<std::size_t>(highest, 24, kDmxChannels);
}

void SerialTransport::closePort() {
  if (lit_) lastLight_.none();
  lit_ = false;
  if (fileDescriptor_ < 0) return;
  ::close(fileDescriptor_);
  fileDescriptor_ = -1;
  currentSerialPort_.reset();
}

SerialSenderStatus SerialTransport::status(const DmxOutputState& state, DmxTransport& transport) {
  const auto& serial = static_cast<SerialTransport&>(transport);
  SerialSenderStatus status;
  status.streaming = state.stream.has_value();
  status.timerRunning = state.timerRunning;
  status.openPort = serial.currentSerialPort_;
  status.selectedSerialPort = serial.selectedSerialPort_;
  if (state.stream) status.frame = state.stream->request.dmx;
  status.schedule = state.schedule;
  return status;
}

}  // namespace solvera::dmx
