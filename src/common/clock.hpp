// Clocks come in through constructors so that tests can move time by hand.
#pragma once

#include <atomic>
#include <cstdint>

namespace solvera {

class Clock {
 public:
  virtual ~Clock() = default;
  // Monotonic time in nanoseconds (pulse phases, throttles, timers).
  virtual std::int64_t monotonicNs() const = 0;
  // Wall-clock time in milliseconds since 1970, with a fractional part.
  virtual double wallMs() const = 0;

  double uptimeSeconds() const { return static_cast<double>(monotonicNs()) / 1e9; }
};

// The machine's clocks.
Clock& systemClock();

// A clock that moves only when told; safe to read from other threads.
class FakeClock final : public Clock {
 public:
  explicit FakeClock(std::int64_t monotonicNs = 1'000'000'000, double wallMs = 1.7e12)
      : mono_(monotonicNs), wall_(wallMs) {}

  std::int64_t monotonicNs() const override { return mono_.load(); }
  double wallMs() const override { return wall_.load(); }

  void advanceMs(double ms) {
    mono_ += static_cast<std::int64_t>(ms * 1e6);
    wall_ = wall_.load() + ms;
  }
  void setWallMs(double ms) { wall_ = ms; }
  void setMonotonicNs(std::int64_t ns) { mono_ = ns; }

 private:
  std::atomic<std::int64_t> mono_;
  std::atomic<double> wall_;
};

}  // namespace solvera
