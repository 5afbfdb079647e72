// The sound server's latency figure through libpulse's introspection, on a thread of its own.
#include "audio/sound_server_latency.hpp"

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/mainloop-api.h>
#include <pulse/proplist.h>
#include <pulse/rtclock.h>
#include <pulse/thread-mainloop.h>
#include <pulse/timeval.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>

namespace solvera {
namespace {

// Asked twice a second: the figure moves only when the server changes its buffers.
constexpr pa_usec_t kAskEveryUs = 500'000;
// The figure is the median of the last answers: the buffer's fill depends on when in its cycle
// the server answers, and a stream just begun reports the sink's idle latency for a moment.
constexpr std::size_t kAnswersKept = 7;
constexpr std::size_t kAnswersNeeded = 3;

class PulseLatency final : public SoundServerLatency {
 public:
  explicit PulseLatency(std::string streamName)
      : streamName_(std::move(streamName)), pid_(std::to_string(::getpid())) {}
  PulseLatency(const PulseLatency&) = delete;
  PulseLatency& operator=(const PulseLatency&) = delete;

  ~PulseLatency() override {
    if (loop_ == nullptr) return;
    pa_threaded_mainloop_stop(loop_);  // joins the loop's thread
    if (timer_ != nullptr) pa_threaded_mainloop_get_api(loop_)->time_free(timer_);
    if (context_ != nullptr) {
      pa_context_disconnect(context_);
      pa_context_unref(context_);
    }
    pa_threaded_mainloop_free(loop_);
  }

  // False when no connection can even be begun (no library, no server address).
  bool start() {
    loop_ = pa_threaded_mainloop_new();
    if (loop_ == nullptr) return false;
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
    context_ = pa_context_new(api, "Solvera latency");
    if (context_ == nullptr) return false;
    pa_context_set_state_callback(context_, &PulseLatency::onState, this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return false;
    return pa_threaded_mainloop_start(loop_) == 0;
  }

  std::int64_t latencyNs() const noexcept override { return latencyNs_.load(std::memory_order_relaxed); }

 private:
  // The callbacks below run on the loop's thread.
  static void onState(pa_context* context, void* self) {
    auto* me = static_cast<PulseLatency*>(self);
    if (pa_context_get_state(context) != PA_CONTEXT_READY || me->timer_ != nullptr) return;
    me->timer_ = pa_context_rttime_new(context, pa_rtclock_now(), &PulseLatency::onTimer, me);
  }

  static void onTimer(pa_mainloop_api*, pa_time_event* event, const timeval*, void* self) {
    auto* me = static_cast<PulseLatency*>(self);
    if (pa_context_get_state(me->context_) == PA_CONTEXT_READY) {
      // A request that cannot be sent is asked again at the next tick.
      if (pa_operation* op = pa_context_get_sink_input_info_list(me->context_, &PulseLatency::onInput, me)) {
        pa_operation_unref(op);
      }
    }
    pa_context_rttime_restart(me->context_, event, pa_rtclock_now() + kAskEveryUs);
  }

  static void onInput(pa_context*, const pa_sink_input_info* info, int last, void* self) {
    auto* me = static_cast<PulseLatency*>(self);
    if (last != 0 || info == nullptr || info->corked != 0) return;
    const char* pid = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID);
    const char* name = pa_proplist_gets(info->proplist, PA_PROP_MEDIA_NAME);
    if (pid == nullptr || name == nullptr || me->pid_ != pid || me->streamName_ != name) return;
    me->answers_[me->answerCount_++ % kAnswersKept] = static_cast<std::int64_t>(info->buffer_usec + info->sink_usec) * 1000;
    if (me->answerCount_ < kAnswersNeeded) return;
    std::array<std::int64_t, kAnswersKept> sorted = me->answers_;
    const std::size_t n = std::min(me->answerCount_, kAnswersKept);
    std::sort(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(n));
    me->latencyNs_.store(std::max<std::int64_t>(1, sorted[n / 2]), std::memory_order_relaxed);
  }

  std::string streamName_;
  std::string pid_;
  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_time_event* timer_ = nullptr;
  std::array<std::int64_t, kAnswersKept> answers_{};  // the loop thread's own
  std::size_t answerCount_ = 0;
  std::atomic<std::int64_t> latencyNs_{0};
};

}  // namespace

std::unique_ptr<SoundServerLatency> SoundServerLatency::watch(const std::string& streamName) {
  auto watcher = std::make_unique<PulseLatency>(streamName);
  if (!watcher->start()) return nullptr;
  return watcher;
}

}  // namespace solvera
