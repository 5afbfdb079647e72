// One light output: the current stream, its frame schedule and its timer, on the output's own
// queue. What differs between Art-Net and the serial interfaces is the transport.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "common/clock.hpp"
#include "common/serial_queue.hpp"
#include "dmx/dmx_request.hpp"
#include "dmx/frame_schedule.hpp"

namespace solvera::dmx {

// What one kind of output does with frames. Every call runs on the output's queue, except
// check(), which any thread may call.
class DmxTransport {
 public:
  virtual ~DmxTransport() = default;
  // Throws ErrorException when the output refuses the request's destination. Changes nothing.
  virtual void check(const DmxRequest&) const {}
  // Whether `next` continues `current`, keeping its pulse epoch.
  virtual bool sameStream(const DmxRequest& current, const DmxRequest& next) const = 0;
  // Takes the destination of a new request (a port choice). Never throws.
  virtual void select(const DmxRequest&) {}
  // Makes the output ready to write; throws ErrorException when it cannot be (no port).
  virtual void open() {}
  // Writes one frame of `slots` channels, made for frameTimeNs; throws ErrorException when it
  // did not go out.
  virtual void write(const Stream& stream, std::span<const std::uint8_t> frame, std::size_t slots,
                     std::int64_t frameTimeNs) = 0;
  // A frame failed and nobody waits for it.
  virtual void writeFailed() {}
  // Whether the failure of a request's first frame answers the request; open() always does.
  virtual bool reportsFirstFrameFailure() const { return false; }
  // Whether a write can stall in a device (a serial adapter that stops reading).
  virtual bool writesMayStall() const { return false; }
  // One all-zero frame of 512 channels, best effort.
  virtual void blackout(const Stream* stream) = 0;
  virtual void close() = 0;
  // Shortest time from one frame's start to the next with `slots` channels on the line.
  virtual std::int64_t frameNs(std::size_t slots) const = 0;
  // Slots of a short frame that reaches channel `highest`.
  virtual std::size_t shortSlots(std::size_t highest) const = 0;
};

struct DmxOutputState {
  std::optional<Stream> stream;
  FrameSchedule schedule;
  bool timerRunning = false;
  bool exitLatched = false;  // the exit blackout has run: nothing lights any more
};

class DmxOutput {
 public:
  struct Pending;
  // A request waits no longer than this behind a device write that has stalled.
  static constexpr std::chrono::milliseconds kStalledWriteWait{5};

  // basePeriod: how often steady light is re-sent.
  DmxOutput(std::string queueLabel, std::chrono::milliseconds basePeriod, Clock& clock,
            std::unique_ptr<DmxTransport> transport);
  ~DmxOutput();  // runs what is queued (a blackout), then closes; sends nothing itself
  DmxOutput(const DmxOutput&) = delete;
  DmxOutput& operator=(const DmxOutput&) = delete;

  // Makes the request the current stream and sends a frame for it: at once when it changes
  // what the lamps show, or in the next slot the line has room for; a request that changes
  // nothing sends no frame of its own (the stream goes on). Throws ErrorException when the
  // destination is refused (then nothing changes), when the output cannot be opened (the
  // request is the stream all the same) or, where the transport says so, when the first frame
  // failed; later frames keep trying. After the exit blackout every request is refused. When a
  // device write has stalled, returns after about kStalledWriteWait without the outcome: the
  // request is taken in turn.
  void send(const DmxRequest& request);
  // send() in two halves, so that one caller can have several outputs take a request at once:
  // start() checks the destination (throwing as send() does, changing nothing) and queues the
  // request; finish() waits for its outcome as send() does and throws its error.
  class Sending;
  Sending start(const DmxRequest& request);
  void finish(Sending& sending);
  // Throws ErrorException when send() would refuse the request's destination. Any thread.
  void check(const DmxRequest& request) const { transport_->check(request); }
  // Queued; return at once. blackoutAndStop() first sends one all-zero frame. exitBlackout()
  // does the same and latches: from then on nothing lights, whoever asks.
  void stop();
  void blackoutAndStop();
  void exitBlackout();

  // Runs inspect(state, transport) on the queue and waits for its result.
  template <typename F>
  auto inspect(F&& inspect) {
    return queue_.sync([&] { return inspect(state(), transport()); });
  }
  SerialQueue& queue() { return queue_; }

 private:
  class Core;
  DmxOutputState state() const;
  DmxTransport& transport();

  SerialQueue queue_;
  DmxTransport* transport_;  // owned by the core
  std::shared_ptr<Core> core_;
};

class DmxOutput::Sending {
 public:
  Sending() = default;

 private:
  friend class DmxOutput;
  std::shared_ptr<Pending> pending_;  // none: sent on the output's own queue already
};

}  // namespace solvera::dmx
