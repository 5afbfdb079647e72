// The main-loop repeating timer: each tick schedules the next deadline before it runs.
#include "common/main_thread_timer.hpp"

#include <algorithm>

#include "common/main_thread.hpp"

namespace solvera {

struct MainThreadRepeatingTimer::State {
  std::chrono::milliseconds period;
  std::function<void()> tick;
  std::chrono::steady_clock::time_point deadline;
};

void MainThreadRepeatingTimer::start(std::chrono::milliseconds period, std::function<void()> tick) {
  cancel();
  state_ = std::make_shared<State>(
      State{period, std::move(tick), std::chrono::steady_clock::now() + period});
  arm(state_);
}

void MainThreadRepeatingTimer::cancel() { state_.reset(); }

void MainThreadRepeatingTimer::arm(const std::shared_ptr<State>& state) {
  auto delay = std::chrono::ceil<std::chrono::milliseconds>(state->deadline -
                                                            std::chrono::steady_clock::now());
  // The pending source holds the state weakly: a cancelled timer's tick finds nothing.
  mainthread::postAfter(std::max(delay, std::chrono::milliseconds(0)),
                        [weak = std::weak_ptr<State>(state)] {
                          auto s = weak.lock();
                          if (!s) return;
                          s->deadline += s->period;
                          arm(s);
                          auto tick = s->tick;  // the tick may cancel or restart the timer
                          tick();
                        });
}

}  // namespace solvera
