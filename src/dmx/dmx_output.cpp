// The stream, schedule and timer every output shares.
#include "dmx/dmx_output.hpp"

#include "common/error.hpp"
#include "common/repeating_timer.hpp"
#include "dmx/thread_timing.hpp"

namespace solvera::dmx {

class DmxOutput::Core : public std::enable_shared_from_this<Core> {
 public:
  Core(SerialQueue& queue, std::chrono::milliseconds basePeriod, Clock& clock,
       std::unique_ptr<DmxTransport> transport)
      : queue_(queue), basePeriod_(basePeriod), clock_(clock), transport_(std::move(transport)) {}

  void send(const DmxRequest& request) {
    const std::int64_t now = clock_.monotonicNs();
    const bool same = stream_ && transport_->sameStream(stream_->request, request);
    stream_ = prepareStream(request, same ? stream_->pulseEpoch : now);
    transport_->select(request);
    plan(now);
    transport_->open();  // its failure answers the request; the ticks keep trying
    try {
      write(schedule_.kind == FrameSchedule::Kind::Mean ? mean_ : modulateFrame(*stream_, now),
            now);
    } catch (const ErrorException&) {
      failed();
      if (transport_->reportsFirstFrameFailure()) throw;
    }
  }

  void stop() {
    stream_.reset();
    timer_.reset();
    schedule_ = {};
    transport_->close();
    lastSlots_ = kDmxChannels;
  }

  void blackoutAndStop() {
    transport_->blackout(stream_ ? &*stream_ : nullptr);
    stop();
  }

  // For the owner's destructor, once the queue has stopped: no blackout.
  void release() {
    timer_.reset();
    transport_->close();
  }

  DmxOutputState state() const {
    return DmxOutputState{stream_, schedule_, timer_ && timer_->isActive()};
  }
  DmxTransport& transport() { return *transport_; }

 private:
  using Kind = FrameSchedule::Kind;

  bool shortFrames() const {
    return stream_->request.shortFrames.value_or(false) && schedule_.kind == Kind::Pulsed;
  }

  // Chooses the schedule for the current stream and (re)starts the timer when it changed.
  void plan(std::int64_t now) {
    const auto base = std::chrono::nanoseconds(basePeriod_);
    auto ceiling = [&](std::size_t slots) {
      return 1e9 / static_cast<double>(transport_->frameNs(slots));
    };
    FrameSchedule next = frameSchedule(*stream_, ceiling(kDmxChannels), base);
    if (stream_->request.shortFrames.value_or(false)) {
      FrameSchedule shorter = frameSchedule(
          *stream_, ceiling(transport_->shortSlots(stream_->request.dmx.size())), base);
      if (shorter.kind == Kind::Pulsed) next = shorter;
    }
    if (next.kind == Kind::Mean) mean_ = meanFrame(*stream_);
    const bool unchanged = timer_ && next == schedule_ &&
                           (next.kind != Kind::Pulsed || scheduledEpoch_ == stream_->pulseEpoch);
    schedule_ = next;
    scheduledEpoch_ = stream_->pulseEpoch;
    if (unchanged) return;

    timer_ = std::make_unique<RepeatingTimer>(queue_);
    auto tick = weakly(shared_from_this(), [](Core& core) { core.tick(); });
    if (next.kind != Kind::Pulsed) {
      timer_->start(std::chrono::nanoseconds(0), base, std::move(tick));
      return;
    }
    // The timer runs on the machine's clock; frame times are counted on ours.
    const std::int64_t first =
        frameTimeNs(next, scheduledEpoch_, nextFrameIndex(next, scheduledEpoch_, now));
    timer_->start(std::chrono::nanoseconds(first - now), std::chrono::nanoseconds(next.periodNs),
                  std::move(tick));
  }

  void tick() {
    if (!stream_) return;
    const std::int64_t now = clock_.monotonicNs();
    try {
      transport_->open();
      switch (schedule_.kind) {
        case Kind::Steady:
          write(stream_->request.dmx, now);
          break;
        case Kind::Mean:
          write(mean_, now);
          break;
        case Kind::Pulsed: {
          // The frame this wake-up stands for, drawn at its own position of the waveform, so
          // every cycle shows the same levels however late the thread woke.
          const std::int64_t index = dueFrameIndex(schedule_, stream_->pulseEpoch, now);
          write(modulateFrameAt(*stream_, framePosition(schedule_, index)),
                frameTimeNs(schedule_, stream_->pulseEpoch, index));
          break;
        }
      }
    } catch (const std::exception&) {
      // Nobody waits for a tick; the next one tries again.
      failed();
    }
  }

  void failed() {
    transport_->writeFailed();
    lastSlots_ = kDmxChannels;  // the line may be a new one next time
  }

  void write(std::span<const std::uint8_t> frame, std::int64_t frameTimeNs) {
    const std::size_t wanted =
        shortFrames() ? transport_->shortSlots(stream_->request.dmx.size()) : kDmxChannels;
    // Before frames get shorter, one whole frame sets the channels they leave out (dark where
    // this frame does not reach): receivers keep the last value of a channel nobody sends.
    const std::size_t slots = wanted < lastSlots_ ? kDmxChannels : wanted;
    transport_->write(*stream_, frame, slots, frameTimeNs);
    lastSlots_ = wanted;
  }

  SerialQueue& queue_;
  const std::chrono::milliseconds basePeriod_;
  Clock& clock_;
  std::unique_ptr<DmxTransport> transport_;
  std::optional<Stream> stream_;
  FrameSchedule schedule_;
  std::int64_t scheduledEpoch_ = 0;
  std::vector<std::uint8_t> mean_;
  std::unique_ptr<RepeatingTimer> timer_;
  std::size_t lastSlots_ = kDmxChannels;  // slots of the last frame that went out
};

DmxOutput::DmxOutput(std::string queueLabel, std::chrono::milliseconds basePeriod, Clock& clock,
                     std::unique_ptr<DmxTransport> transport)
    : queue_(std::move(queueLabel)),
      core_(std::make_shared<Core>(queue_, basePeriod, clock, std::move(transport))) {
  queue_.post(requestPromptWakeups);
}

DmxOutput::~DmxOutput() {
  queue_.shutdown();  // a queued blackout still goes out
  core_->release();   // the queue's thread is gone: nothing else touches the core now
  core_.reset();
}

void DmxOutput::send(const DmxRequest& request) {
  queue_.sync([&] { core_->send(request); });
}

void DmxOutput::stop() {
  queue_.post([weak = std::weak_ptr<Core>(core_)] {
    if (auto core = weak.lock()) core->stop();
  });
}

void DmxOutput::blackoutAndStop() {
  queue_.post([weak = std::weak_ptr<Core>(core_)] {
    if (auto core = weak.lock()) core->blackoutAndStop();
  });
}

DmxOutputState DmxOutput::state() const {
  return core_->state();
}
DmxTransport& DmxOutput::transport() {
  return core_->transport();
}

}  // namespace solvera::dmx
