// The machine's monotonic and wall clocks.
#include "common/clock.hpp"

#include <chrono>

namespace solvera {
namespace {

class SystemClock final : public Clock {
 public:
  std::int64_t monotonicNs() const override {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  double wallMs() const override {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(now).count()) /
           1000.0;
  }
};

}  // namespace

Clock& systemClock() {
  static SystemClock clock;
  return clock;
}

}  // namespace solvera
