// A repeating timer on a serial queue that ticks on absolute deadlines, so ticks do not drift.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "common/serial_queue.hpp"

namespace solvera {

class RepeatingTimer {
 public:
  using Duration = std::chrono::steady_clock::duration;

  explicit RepeatingTimer(SerialQueue& queue);
  ~RepeatingTimer();
  RepeatingTimer(const RepeatingTimer&) = delete;
  RepeatingTimer& operator=(const RepeatingTimer&) = delete;

  // Ticks first after firstDelay, then every period after that first deadline. Restarting
  // replaces the previous schedule. Call on the queue.
  void start(Duration firstDelay, Duration period, std::function<void()> tick);
  // Call on the queue; a tick already due does not run.
  void cancel();
  bool isActive() const;

 private:
  struct State;
  static void arm(const std::shared_ptr<State>& state, unsigned generation);

  std::shared_ptr<State> state_;
};

// Wraps a callback so that it holds its owner weakly and does nothing once the owner is gone.
template <typename T, typename F>
auto weakly(const std::shared_ptr<T>& owner, F function) {
  return [weak = std::weak_ptr<T>(owner), function = std::move(function)](auto&&... args) {
    if (auto strong = weak.lock()) function(*strong, std::forward<decltype(args)>(args)...);
  };
}

}  // namespace solvera
