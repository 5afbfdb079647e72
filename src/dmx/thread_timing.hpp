// Asks the kernel to wake the calling thread promptly: for the output queues, whose ticks and
// break timing the lights depend on.
#pragma once

namespace solvera::dmx {

// Best effort; call on the thread itself. The thread runs with a low real-time priority, below
// audio servers, where the user may have one: by CAP_SYS_NICE, by an RLIMIT_RTPRIO (its soft
// limit raised to the hard one; a lower limit gives a lower priority) or from RealtimeKit on the
// system bus (which needs RLIMIT_RTTIME set: it is lowered to RealtimeKit's maximum). Without
// any of them it keeps normal scheduling with the shortest slice the kernel allows, which lets
// a wake-up pre-empt threads that have been computing. Timer slack is off.
void requestPromptWakeups();

inline constexpr int kOutputRealtimePriority = 5;

}  // namespace solvera::dmx
