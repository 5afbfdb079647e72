// Absolute-deadline repetition over asio::steady_timer.
#include "common/repeating_timer.hpp"

#include <asio/steady_timer.hpp>

namespace solvera {

struct RepeatingTimer::State {
  explicit State(asio::io_context& io) : timer(io) {}
  asio::steady_timer timer;
  Duration period{};
  std::function<void()> tick;
  unsigned generation = 0;
  bool active = false;
};

RepeatingTimer::RepeatingTimer(SerialQueue& queue)
    : state_(std::make_shared<State>(queue.context())) {}

RepeatingTimer::~RepeatingTimer() {
  // The pending wait holds the state weakly; cancelling here releases it promptly.
  state_->active = false;
  ++state_->generation;
  state_->timer.cancel();
}

void RepeatingTimer::start(Duration firstDelay, Duration period, std::function<void()> tick) {
  auto& s = *state_;
  ++s.generation;
  s.period = period;
  s.tick = std::move(tick);
  s.active = true;
  s.timer.expires_at(std::chrono::steady_clock::now() + firstDelay);
  arm(state_, s.generation);
}

void RepeatingTimer::cancel() {
  state_->active = false;
  ++state_->generation;
  state_->timer.cancel();
  state_->tick = nullptr;
}

bool RepeatingTimer::isActive() const { return state_->active; }

void RepeatingTimer::arm(const std::shared_ptr<State>& state, unsigned generation) {
  std::weak_ptr<State> weak = state;
  state->timer.async_wait([weak, generation](const std::error_code& ec) {
    auto s = weak.lock();
    if (!s || ec || generation != s->generation || !s->active) return;
    auto deadline = s->timer.expiry() + s->period;
    // After a stall, skip the ticks that were missed instead of sending a burst.
    auto now = std::chrono::steady_clock::now();
    while (deadline + s->period <= now) deadline += s->period;
    auto tick = s->tick;
    tick();
    if (generation != s->generation || !s->active) return;  // the tick restarted or cancelled
    s->timer.expires_at(deadline);
    arm(s, generation);
  });
}

}  // namespace solvera
