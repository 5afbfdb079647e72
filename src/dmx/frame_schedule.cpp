// Frame timing of pulsed and steady streams.
#include "dmx/frame_schedule.hpp"

#include <algorithm>
#include <cmath>

namespace solvera::dmx {
std::int64_t dmxFrameNs(std::size_t slots, std::int64_t breakAndMarkNs) {
  const auto onWire = breakAndMarkNs + static_cast<std::int64_t>(slots + 1) * kDmxSlotNs;
  return std::max(onWire, kDmxMinFrameNs);
}

int minFramesPerCycle(std::string_view shape) {
  if (shape == "square") return 2;
  if (shape == "trapezoid") return 5;
  return 4;
}

double maxFaithfulPulseHz(std::string_view shape, double maxFramesPerSecond) {
  const double fps = std::min(maxFramesPerSecond, kMaxPulseFramesPerSecond);
  return std::min(kMaxPulseHz, fps / minFramesPerCycle(shape));
}

FrameSchedule frameSchedule(const Stream& stream, double maxFramesPerSecond,
                            std::chrono::nanoseconds basePeriod) {
  FrameSchedule schedule;
  schedule.periodNs = basePeriod.count();
  // A pulse that changes nothing on the wire is steady light.
  if (!pulseVaries(stream)) return schedule;

  const double hz = *stream.pulseHz;
  const double baseFps = 1e9 / static_cast<double>(basePeriod.count());
  const double ceiling = std::min(maxFramesPerSecond, kMaxPulseFramesPerSecond);
  const double wanted = std::max(baseFps, hz * kWantedFramesPerCycle);
  // The tiny allowance keeps a rate that divides the ceiling exactly from losing a frame to
  // rounding.
  int frames = static_cast<int>(std::floor(std::min(ceiling, wanted) / hz + 1e-9));
  // A square's edges fall on frames only with an even count.
  if (stream.pulseShape == "square") frames -= frames % 2;
  if (frames < minFramesPerCycle(stream.pulseShape)) {
    schedule.kind = FrameSchedule::Kind::Mean;
    return schedule;
  }
  schedule.kind = FrameSchedule::Kind::Pulsed;
  schedule.framesPerCycle = frames;
  schedule.frameHz = hz * frames;
  schedule.periodNs = std::llround(1e9 / schedule.frameHz);
  return schedule;
}

std::int64_t frameTimeNs(const FrameSchedule& schedule, std::int64_t epochNs, std::int64_t index) {
  return epochNs + std::llround(static_cast<double>(index) * 1e9 / schedule.frameHz);
}

double framePosition(const FrameSchedule& schedule, std::int64_t index) {
  const std::int64_t n = schedule.framesPerCycle;
  return static_cast<double>(((index % n) + n) % n) / static_cast<double>(n);
}

std::int64_t dueFrameIndex(const FrameSchedule& schedule, std::int64_t epochNs,
                           std::int64_t nowNs) {
  return static_cast<std::int64_t>(
      std::floor(static_cast<double>(nowNs - epochNs) * schedule.frameHz / 1e9 + 0.25));
}

std::int64_t nextFrameIndex(const FrameSchedule& schedule, std::int64_t epochNs,
                            std::int64_t nowNs) {
  auto index = static_cast<std::int64_t>(
      std::floor(static_cast<double>(nowNs - epochNs) * schedule.frameHz / 1e9));
  while (frameTimeNs(schedule, epochNs, index) <= nowNs) ++index;
  return index;
}

}  // namespace solvera::dmx
