// Asks the kernel to wake the calling thread promptly: for the output queues, whose ticks and
// break timing the lights depend on.
#pragma once

namespace solvera::dmx {

// Best effort; call on the thread itself. Where the user may (CAP_SYS_NICE or an RLIMIT_RTPRIO
// of at least kOutputRealtimePriority) the thread runs with a low real-time priority, below
// audio servers; otherwise it keeps normal scheduling with the shortest slice the kernel
// allows, which lets a wake-up pre-empt threads that have been computing. Timer slack is off.
void requestPromptWakeups();

inline constexpr int kOutputRealtimePriority = 5;

}  // namespace solvera::dmx
