// Wake-up latency hints for the output threads.
#include "dmx/thread_timing.hpp"

#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace solvera::dmx {
namespace {

// The kernel's struct sched_attr (first version, 48 bytes); its header clashes with <sched.h>.
struct SchedAttr {
  std::uint32_t size;
  std::uint32_t policy;
  std::uint64_t flags;
  std::int32_t nice;
  std::uint32_t priority;
  std::uint64_t runtime;
  std::uint64_t deadline;
  std::uint64_t period;
};

constexpr std::uint64_t kResetOnFork = 0x01;  // children of this thread start unprivileged
constexpr std::uint64_t kShortestSliceNs = 100'000;
constexpr std::uint64_t kBusTimeoutUs = 1'000'000;
constexpr const char* kRealtimeKit = "org.freedesktop.RealtimeKit1";
constexpr const char* kRealtimeKitPath = "/org/freedesktop/RealtimeKit1";

pid_t threadId() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

bool setScheduling(const SchedAttr& attr) {
  return ::syscall(SYS_sched_setattr, threadId(), &attr, 0U) == 0;
}

bool fifo(int priority) {
  SchedAttr realtime{};
  realtime.size = sizeof realtime;
  realtime.policy = SCHED_FIFO;
  realtime.flags = kResetOnFork;
  realtime.priority = static_cast<std::uint32_t>(priority);
  return setScheduling(realtime);
}

// Real-time priority by the user's own limit (as audio groups get it from limits.conf): the
// soft limit is raised as far as the hard one allows, and a lower limit still gives a lower
// real-time priority.
bool realtimeByLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_RTPRIO, &limit) != 0) return false;
  const auto wanted = static_cast<rlim_t>(kOutputRealtimePriority);
  if (limit.rlim_cur < wanted && limit.rlim_max > limit.rlim_cur) {
    rlimit raised{std::min(limit.rlim_max, wanted), limit.rlim_max};
    if (::setrlimit(RLIMIT_RTPRIO, &raised) == 0) limit = raised;
  }
  if (limit.rlim_cur < 1) return false;
  return fifo(static_cast<int>(std::min(limit.rlim_cur, wanted)));
}

// Real-time priority from RealtimeKit on the system bus, the way desktop sound servers get it.
// It grants only to processes whose RLIMIT_RTTIME (the CPU time a real-time thread may use
// without sleeping) is no more than its own maximum, so the limit is set to that first.
bool realtimeByRealtimeKit() {
  sd_bus* bus = nullptr;
  if (sd_bus_open_system(&bus) < 0) return false;
  sd_bus_set_method_call_timeout(bus, kBusTimeoutUs);
  bool granted = false;
  std::int32_t maxPriority = 0;
  std::int64_t maxRttimeUs = 0;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  if (sd_bus_get_property_trivial(bus, kRealtimeKit, kRealtimeKitPath, kRealtimeKit,
                                  "MaxRealtimePriority", &error, 'i', &maxPriority) >= 0 &&
      sd_bus_get_property_trivial(bus, kRealtimeKit, kRealtimeKitPath, kRealtimeKit,
                                  "RTTimeUSecMax", &error, 'x', &maxRttimeUs) >= 0 &&
      maxPriority >= 1 && maxRttimeUs > 0) {
    rlimit rttime{};
    ::getrlimit(RLIMIT_RTTIME, &rttime);
    const auto cap = static_cast<rlim_t>(maxRttimeUs);
    if (rttime.rlim_max == RLIM_INFINITY || rttime.rlim_max > cap) {
      rlimit capped{cap, cap};
      ::setrlimit(RLIMIT_RTTIME, &capped);
    }
    const auto priority = static_cast<std::uint32_t>(std::min(kOutputRealtimePriority, maxPriority));
    granted = sd_bus_call_method(bus, kRealtimeKit, kRealtimeKitPath, kRealtimeKit,
                                 "MakeThreadRealtime", &error, nullptr, "tu",
                                 static_cast<std::uint64_t>(threadId()), priority) >= 0;
  }
  sd_bus_error_free(&error);
  sd_bus_flush_close_unref(bus);
  return granted;
}

}  // namespace

void requestPromptWakeups() {
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  if (fifo(kOutputRealtimePriority) || realtimeByLimit() || realtimeByRealtimeKit()) return;

  errno = 0;
  const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(threadId()));
  if (errno != 0) return;
  SchedAttr shortSlice{};
  shortSlice.size = sizeof shortSlice;
  shortSlice.policy = SCHED_OTHER;
  shortSlice.flags = kResetOnFork;
  shortSlice.nice = nice;
  shortSlice.runtime = kShortestSliceNs;  // kernels before 6.12 ignore it
  setScheduling(shortSlice);
}

}  // namespace solvera::dmx
