// Wake-up latency hints for the output threads.
#include "dmx/thread_timing.hpp"

#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

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

bool setScheduling(const SchedAttr& attr) {
  return ::syscall(SYS_sched_setattr, static_cast<pid_t>(::syscall(SYS_gettid)), &attr, 0U) == 0;
}

}  // namespace

void requestPromptWakeups() {
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  SchedAttr realtime{};
  realtime.size = sizeof realtime;
  realtime.policy = SCHED_FIFO;
  realtime.flags = kResetOnFork;
  realtime.priority = kOutputRealtimePriority;
  if (setScheduling(realtime)) return;

  errno = 0;
  const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)));
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
