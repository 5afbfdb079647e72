// When an output sends its frames: re-sends of steady light, pulse frames locked to the pulse
// phase, and steady light at the waveform's mean when a pulse is faster than the line can show.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "dmx/dmx_request.hpp"

namespace solvera::dmx {

// One slot (start code or channel) on a DMX512 line: 11 bits at 250 000 baud.
inline constexpr std::int64_t kDmxSlotNs = 44'000;
// Break and mark-after-break as common transmitters put them on the line.
inline constexpr std::int64_t kDmxBreakAndMarkNs = 188'000;
// The standard's shortest time from one break to the next.
inline constexpr std::int64_t kDmxMinFrameNs = 1'204'000;
// Above this a pulse is drawn with no more frames: nothing a lamp shows gets better, only the
// network and the serial line get busier.
inline constexpr double kMaxPulseFramesPerSecond = 250.0;
// Frames per cycle a pulse is drawn with when the line has room (a sampled sine then keeps
// about 98 % of its flicker at its own rate).
inline constexpr int kWantedFramesPerCycle = 12;

// Time on the wire of one DMX512 frame of `slots` channels after a break of breakAndMarkNs.
std::int64_t dmxFrameNs(std::size_t slots, std::int64_t breakAndMarkNs = kDmxBreakAndMarkNs);

// Fewest frames per cycle that still show the shape faithfully: two for a square (frames on its
// edges), five for the trapezoid's corners, four for the others (a sine then keeps 81 % of its
// flicker at its own rate, the rest at harmonics of it, never below it).
int minFramesPerCycle(std::string_view shape);

// The fastest pulse of this shape an output with this frame ceiling shows faithfully.
double maxFaithfulPulseHz(std::string_view shape, double maxFramesPerSecond);

struct FrameSchedule {
  enum class Kind {
    Steady,  // no pulse: the frame as requested, every base period
    Pulsed,  // framesPerCycle frames per pulse cycle, at fixed positions of the waveform
    Mean,    // pulse beyond the line's reach: the waveform's mean level, every base period
  };
  Kind kind = Kind::Steady;
  std::int64_t periodNs = 0;  // time between frames (rounded to whole ns for Pulsed)
  int framesPerCycle = 0;     // Pulsed only
  double frameHz = 0;         // Pulsed only: framesPerCycle * pulse rate, exactly

  friend bool operator==(const FrameSchedule&, const FrameSchedule&) = default;
};

// The schedule of a stream on an output that can start a frame at most maxFramesPerSecond
// times a second and otherwise re-sends every basePeriod.
FrameSchedule frameSchedule(const Stream& stream, double maxFramesPerSecond,
                            std::chrono::nanoseconds basePeriod);

// Pulsed schedules: frame `index` lies at epoch + index / frameHz, which is the waveform
// position (index mod framesPerCycle) / framesPerCycle in every cycle.
std::int64_t frameTimeNs(const FrameSchedule& schedule, std::int64_t epochNs, std::int64_t index);
double framePosition(const FrameSchedule& schedule, std::int64_t index);
// The frame a wake-up at nowNs stands for: the last one due, or one due within a quarter of a
// frame (timers round their deadlines). A late thread sends the frame it is late for rather
// than skip ahead. And the first frame after nowNs.
std::int64_t dueFrameIndex(const FrameSchedule& schedule, std::int64_t epochNs, std::int64_t nowNs);
std::int64_t nextFrameIndex(const FrameSchedule& schedule, std::int64_t epochNs,
                            std::int64_t nowNs);

}  // namespace solvera::dmx
