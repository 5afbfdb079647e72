// The stream, schedule and timer every output shares.
#include "dmx/dmx_output.hpp"

#include <cmath>
#include <future>
#include <limits>

#include "common/error.hpp"
#include "common/repeating_timer.hpp"
#include "dmx/last_light.hpp"
#include "dmx/thread_timing.hpp"

namespace solvera::dmx {
namespace {

using Kind = FrameSchedule::Kind;
constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::min();

// Where a queued send stands, for a caller that may stop waiting for it.
enum class Stage { Queued, Opening, Writing };


std::int64_t steadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Whether two streams put the same light on the wire, their rate and phase aside.
bool sameLook(const Stream& a, const Stream& b) {
  const DmxRequest& x = a.request;
  const DmxRequest& y = b.request;
  return x.dmx == y.dmx && x.pulseChannels == y.pulseChannels && a.pulseShape == b.pulseShape &&
         a.pulseHz.has_value() == b.pulseHz.has_value() && x.shortFrames == y.shortFrames &&
         x.targetIp == y.targetIp && x.universe == y.universe && x.serialPort == y.serialPort &&
         x.priority == y.priority && x.sourceName == y.sourceName && x.networkInterface == y.networkInterface &&
         x.sequencing == y.sequencing && x.sync == y.sync;
}

bool dark(const std::vector<std::uint8_t>& dmx) {
  const auto end = dmx.begin() + static_cast<std::ptrdiff_t>(std::min(dmx.size(), kDmxChannels));
  return std::all_of(dmx.begin(), end, [](std::uint8_t v) { return v == 0; });
}

double clampedHz(double hz) { return std::min(std::max(hz, kMinPulseHz), kMaxPulseHz); }

}  // namespace

struct DmxOutput::Pending {
  std::promise<void> done;
  std::future<void> outcome = done.get_future();
  std::atomic<Stage> stage{Stage::Queued};
};

class DmxOutput::Core : public std::enable_shared_from_this<Core> {
 public:
  Core(SerialQueue& queue, std::chrono::milliseconds basePeriod, Clock& clock,
       std::unique_ptr<DmxTransport> transport)
      : queue_(queue), basePeriod_(basePeriod), clock_(clock), transport_(std::move(transport)) {}

  void send(const DmxRequest& request, std::atomic<Stage>* stage) {
    if (latched_) {
      throw ErrorException("Solvera", 503, "Het programma sluit af: het licht blijft uit.");
    }
    // A refused destination changes nothing (a caller off the queue has checked already).
    if (!stage) transport_->check(request);
    const std::int64_t now = clock_.monotonicNs();
    const bool same = stream_ && transport_->sameStream(stream_->request, request);
    Stream next = prepareStream(request, epochFor(same, request, now));
    const bool changed = !same || !sameLook(*stream_, next) || lastWriteFailed_;
    // Another destination is another line: its frames owe nothing to the old one's.
    if (!same) lastWriteNs_ = kNever;
    stream_ = std::move(next);
    transport_->select(request);
    const bool writeNow = plan(now, changed);
    if (stage) *stage = Stage::Opening;
    transport_->open();  // its failure answers the request; the ticks keep trying
    if (!writeNow) return;
    if (stage) *stage = Stage::Writing;
    try {
      switch (schedule_.kind) {
        case Kind::Steady:
          write(stream_->request.dmx, now);
          break;
        case Kind::Mean:
          write(mean_, now);
          break;
        case Kind::Pulsed:
          write(modulateFrame(*stream_, now), now);
          break;
      }
    } catch (const ErrorException&) {
      failed();
      if (transport_->reportsFirstFrameFailure()) throw;
    }
  }

  void stop() {
    stream_.reset();
    timer_.reset();
    schedule_ = {};
    {
      DeviceCall call(*this);
      transport_->close();
    }
    lastSlots_ = kDmxChannels;
    lastWriteNs_ = kNever;
    lastWriteFailed_ = false;
  }

  void blackoutAndStop() {
    {
      DeviceCall call(*this);
      transport_->blackout(stream_ ? &*stream_ : nullptr);
    }
    stop();
  }

  void exitBlackout() {
    latched_ = true;
    blackoutAndStop();
  }

  // For the owner's destructor, once the queue has stopped: no blackout.
  void release() {
    timer_.reset();
    transport_->close();
  }

  // How long the device call under way has lasted (0: none). Any thread.
  std::int64_t deviceCallNs() const {
    const std::int64_t since = deviceCallSinceNs_.load();
    return since == 0 ? 0 : steadyNs() - since;
  }

  DmxOutputState state() const {
    return DmxOutputState{stream_, schedule_, timer_ && timer_->isActive(), latched_};
  }
  DmxTransport& transport() { return *transport_; }

 private:
  // Marks a call that may wait on the device, so that a caller can tell a stall.
  class DeviceCall {
   public:
    explicit DeviceCall(Core& core) : core_(core) { core_.deviceCallSinceNs_ = steadyNs(); }
    ~DeviceCall() { core_.deviceCallSinceNs_ = 0; }
    DeviceCall(const DeviceCall&) = delete;
    DeviceCall& operator=(const DeviceCall&) = delete;

   private:
    Core& core_;
  };

  // The pulse epoch of a new request: pinned by its anchor; else for the same stream the old
  // one, moved only by a new rate so that the position at `now` stays where it is (each step of
  // a glide would otherwise jump the phase); else now.
  std::int64_t epochFor(bool same, const DmxRequest& request, std::int64_t now) const {
    if (request.pulseHz && request.pulseAnchor) {
      return anchoredEpoch(*request.pulseAnchor, clampedHz(*request.pulseHz), now);
    }
    if (!same) return now;
    if (request.pulseHz && stream_->pulseHz && clampedHz(*request.pulseHz) != *stream_->pulseHz) {
      const double position = pulsePosition(*stream_, now);
      return now - std::llround(position / clampedHz(*request.pulseHz) * 1e9);
    }
    return stream_->pulseEpoch;
  }

  bool shortFrames() const {
    return stream_->request.shortFrames.value_or(false) && schedule_.kind == Kind::Pulsed;
  }
  std::size_t wantedSlots() const {
    return shortFrames() ? transport_->shortSlots(stream_->request.dmx.size()) : kDmxChannels;
  }

  FrameSchedule chooseSchedule() const {
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
    return next;
  }

  // Chooses the schedule for the current stream and (re)starts the timer where that changes
  // when frames go out. Returns whether the request's frame goes out at once: only a change of
  // what the lamps show earns one, and only when the line has room for it; otherwise the next
  // free slot carries it. A blackout never waits.
  bool plan(std::int64_t now, bool changed) {
    const FrameSchedule next = chooseSchedule();
    const bool regrid = !timer_ || next != schedule_ ||
                        (next.kind == Kind::Pulsed && scheduledEpoch_ != stream_->pulseEpoch);
    schedule_ = next;
    scheduledEpoch_ = stream_->pulseEpoch;
    if (next.kind == Kind::Mean) mean_ = meanFrame(*stream_);
    const std::int64_t gap = transport_->frameNs(wantedSlots());
    const bool lineFree = lastWriteNs_ == kNever || now - lastWriteNs_ >= gap;
    auto tick = weakly(shared_from_this(), [](Core& core) { core.tick(); });
    const auto base = std::chrono::nanoseconds(basePeriod_);

    if (next.kind != Kind::Pulsed) {
      const bool writeNow = changed && (lineFree || dark(stream_->request.dmx));
      if (writeNow) {
        restartTimer(base, base, std::move(tick));  // re-sent a whole period after this frame
      } else if (changed || regrid) {
        const auto wait = lineFree ? std::chrono::nanoseconds(0)
                                   : std::chrono::nanoseconds(lastWriteNs_ + gap - now);
        restartTimer(wait, base, std::move(tick));
      }
      return writeNow;
    }

    // Grid frames keep the line's spacing from the last frame, whichever grid it was on.
    const std::int64_t epoch = scheduledEpoch_;
    std::int64_t index = nextFrameIndex(next, epoch, now);
    while (lastWriteNs_ != kNever && frameTimeNs(next, epoch, index) < lastWriteNs_ + gap - gap / 8) {
      ++index;
    }
    const bool writeNow = changed && lineFree && frameTimeNs(next, epoch, index) - now >= gap;
    if (regrid) {
      // The timer runs on the machine's clock; frame times are counted on ours.
      restartTimer(std::chrono::nanoseconds(frameTimeNs(next, epoch, index) - now),
                   std::chrono::nanoseconds(next.periodNs), std::move(tick));
    }
    return writeNow;
  }

  void restartTimer(std::chrono::nanoseconds first, std::chrono::nanoseconds period,
                    std::function<void()> tick) {
    timer_ = std::make_unique<RepeatingTimer>(queue_);
    timer_->start(std::max(first, std::chrono::nanoseconds(0)), period, std::move(tick));
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
          // A late wake-up whose frame a request's own frame has already overtaken.
          if (lastWriteNs_ != kNever && frameTimeNs(schedule_, stream_->pulseEpoch, index) < lastWriteNs_) break;
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
    lastWriteFailed_ = true;
  }

  void write(std::span<const std::uint8_t> frame, std::int64_t frameTimeNs) {
    if (LastLight::struck()) return;  // the crash blackout was the last word
    const std::size_t wanted = wantedSlots();
    // Before frames get shorter, one whole frame sets the channels they leave out (dark where
    // this frame does not reach): receivers keep the last value of a channel nobody sends.
    const std::size_t slots = wanted < lastSlots_ ? kDmxChannels : wanted;
    {
      DeviceCall call(*this);
      transport_->write(*stream_, frame, slots, frameTimeNs);
    }
    lastSlots_ = wanted;
    lastWriteNs_ = frameTimeNs;
    lastWriteFailed_ = false;
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
  std::int64_t lastWriteNs_ = kNever;     // when the last frame of this stream went out
  bool lastWriteFailed_ = false;
  bool latched_ = false;  // the exit blackout has run
  std::atomic<std::int64_t> deviceCallSinceNs_{0};
};

DmxOutput::DmxOutput(std::string queueLabel, std::chrono::milliseconds basePeriod, Clock& clock,
                     std::unique_ptr<DmxTransport> transport)
    : queue_(std::move(queueLabel)), transport_(transport.get()) {
  core_ = std::make_shared<Core>(queue_, basePeriod, clock, std::move(transport));
  queue_.post(requestPromptWakeups);
}

DmxOutput::~DmxOutput() {
  queue_.shutdown();  // a queued blackout still goes out
  core_->release();   // the queue's thread is gone: nothing else touches the core now
  core_.reset();
}

void DmxOutput::send(const DmxRequest& request) {
  Sending sending = start(request);
  finish(sending);
}

DmxOutput::Sending DmxOutput::start(const DmxRequest& request) {
  Sending sending;
  if (queue_.isCurrent()) {
    core_->send(request, nullptr);
    return sending;
  }
  transport_->check(request);
  auto pending = std::make_shared<Pending>();
  sending.pending_ = pending;
  queue_.post([weak = std::weak_ptr<Core>(core_), request, pending] {
    try {
      if (auto core = weak.lock()) core->send(request, &pending->stage);
      pending->done.set_value();
    } catch (...) {
      pending->done.set_exception(std::current_exception());
    }
  });
  return sending;
}

void DmxOutput::finish(Sending& sending) {
  auto pending = std::move(sending.pending_);
  if (!pending) return;
  if (!transport_->writesMayStall()) return pending->outcome.get();
  // The caller (the server's queue) must not hang on a device: it waits for the answer of an
  // open, but not for a write that has stalled, before or within this request.
  while (pending->outcome.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
    if (pending->stage == Stage::Opening) continue;
    if (core_->deviceCallNs() > std::chrono::nanoseconds(kStalledWriteWait).count()) return;
  }
  pending->outcome.get();
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

void DmxOutput::exitBlackout() {
  queue_.post([weak = std::weak_ptr<Core>(core_)] {
    if (auto core = weak.lock()) core->exitBlackout();
  });
}

DmxOutputState DmxOutput::state() const { return core_->state(); }
DmxTransport& DmxOutput::transport() { return core_->transport(); }

}  // namespace solvera::dmx
