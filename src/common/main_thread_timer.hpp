// A repeating timer on the main loop that ticks on absolute deadlines and stops when destroyed.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace solvera {

class MainThreadRepeatingTimer {
 public:
  MainThreadRepeatingTimer() = default;
  ~MainThreadRepeatingTimer() { cancel(); }
  MainThreadRepeatingTimer(const MainThreadRepeatingTimer&) = delete;
  MainThreadRepeatingTimer& operator=(const MainThreadRepeatingTimer&) = delete;

  // First tick one period from now, then every period after the previous deadline. Starting
  // again replaces the schedule. Main thread only.
  void start(std::chrono::milliseconds period, std::function<void()> tick);
  void cancel();
  bool isActive() const { return static_cast<bool>(state_); }

 private:
  struct State;
  static void arm(const std::shared_ptr<State>& state);
  std::shared_ptr<State> state_;
};

}  // namespace solvera
