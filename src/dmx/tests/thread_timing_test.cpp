// Real-time priority for the output threads as an ordinary user: from RLIMIT_RTPRIO, from a
// RealtimeKit stand-in on a private bus, and the fallback with neither. Each case runs in a
// process of its own (a forked death test) that gives up root first.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "dmx/thread_timing.hpp"
#include "server/tests/test_client.hpp"

extern char** environ;

// This file's own names: the test programs compile their files together in batches.
namespace thread_timing_test {


using namespace solvera::dmx;

namespace {

constexpr uid_t kNobody = 65534;

// Becomes an ordinary user with the given RLIMIT_RTPRIO and system bus, asks for prompt
// wake-ups on a new thread and exits with what that thread got: policy * 50 + priority, or 9x
// when something else went wrong.
[[noreturn]] void asOrdinaryUser(rlim_t soft, rlim_t hard, const std::string& systemBus) {
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", systemBus.c_str(), 1);
  rlimit limit{soft, hard};
  if (::setrlimit(RLIMIT_RTPRIO, &limit) != 0) ::_exit(90);
  if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(91);
  int result = 92;
  std::thread([&] {
    requestPromptWakeups();
    sched_param param{};
    const int policy = ::sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
    ::sched_getparam(0, &param);
    result = policy * 50 + param.sched_priority;
  }).join();
  if (result == SCHED_RR * 50 + kOutputRealtimePriority) {
    rlimit rttime{};
    ::getrlimit(RLIMIT_RTTIME, &rttime);
    if (rttime.rlim_max != 200'000) ::_exit(93);  // RealtimeKit's maximum, as it demands
  }
  ::_exit(result);
}

pid_t spawn(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void end(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
}

// Whether `name` has an owner on the bus at `address`, asked until it has (60 s at most).
bool nameOwned(const std::string& address, const char* name) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < giveUp) {
    sd_bus* bus = nullptr;
    int owned = 0;
    if (sd_bus_new(&bus) >= 0 && sd_bus_set_address(bus, address.c_str()) >= 0 &&
        sd_bus_set_bus_client(bus, 1) >= 0 && sd_bus_start(bus) >= 0) {
      sd_bus_message* reply = nullptr;
      if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                             "NameHasOwner", nullptr, &reply, "s", name) >= 0) {
        sd_bus_message_read(reply, "b", &owned);
      }
      sd_bus_message_unref(reply);
    }
    sd_bus_flush_close_unref(bus);
    if (owned) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

constexpr const char* kRealtimeKitTemplate = R"(import dbus
BUS_NAME = 'org.freedesktop.RealtimeKit1'
MAIN_OBJ = '/org/freedesktop/RealtimeKit1'
MAIN_IFACE = 'org.freedesktop.RealtimeKit1'
SYSTEM_BUS = True

# Like RealtimeKit: only for a process whose RLIMIT_RTTIME is at most RTTimeUSecMax.
GRANT = '''
import os, dbus
with open('/proc/%d/limits' % args[0]) as f:
    hard = [l for l in f if l.startswith('Max realtime timeout')][0].split()[4]
if hard == 'unlimited' or int(hard) > 200000:
    raise dbus.exceptions.DBusException('RLIMIT_RTTIME', name='org.freedesktop.DBus.Error.AccessDenied')
os.sched_setscheduler(args[0], os.SCHED_RR | os.SCHED_RESET_ON_FORK, os.sched_param(args[1]))
'''

def load(mock, parameters):
    mock.AddProperties(MAIN_IFACE, {'MaxRealtimePriority': dbus.Int32(20),
                                    'MinNiceLevel': dbus.Int32(-15),
                                    'RTTimeUSecMax': dbus.Int64(200000)})
    mock.AddMethod(MAIN_IFACE, 'MakeThreadRealtime', 'tu', '', GRANT)
)";

}  // namespace

TEST(ThreadTiming, AnOrdinaryUserGetsRealtimeFromItsLimitOrRealtimeKitAndCarriesOnWithout) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to become an ordinary user with chosen limits";
  // Forked, not re-run: a re-run would start a second bus of its own.
  GTEST_FLAG_SET(death_test_style, "fast");
  const std::string noBus = "unix:path=/nonexistent/system_bus_socket";
  const int fifo = SCHED_FIFO * 50;

  EXPECT_EXIT(asOrdinaryUser(0, 0, noBus), ::testing::ExitedWithCode(SCHED_OTHER * 50), "")
      << "neither: normal scheduling, and no harm done";
  // Setting up a hard limit above the present one needs CAP_SYS_RESOURCE, which a container
  // may withhold even from root.
  const pid_t probe = ::fork();
  if (probe == 0) {
    rlimit limit{0, 10};
    ::_exit(::setrlimit(RLIMIT_RTPRIO, &limit) == 0 ? 0 : 1);
  }
  int probed = -1;
  ::waitpid(probe, &probed, 0);
  if (WIFEXITED(probed) && WEXITSTATUS(probed) == 0) {
    EXPECT_EXIT(asOrdinaryUser(0, 10, noBus), ::testing::ExitedWithCode(fifo + kOutputRealtimePriority), "")
        << "a hard limit above the soft one: the soft one is raised";
    EXPECT_EXIT(asOrdinaryUser(3, 3, noBus), ::testing::ExitedWithCode(fifo + 3), "")
        << "a lower limit: a lower real-time priority";
  } else {
    std::printf("RLIMIT_RTPRIO cases not run: no hard limit above %s can be set here\n", "the present one");
  }

  // RealtimeKit (a stand-in on a bus of this test's own) grants what the limits do not.
  solvera::test::TempDir dir;
  ::chmod(dir.path().c_str(), 0755);  // the ordinary user reaches the bus's socket
  const std::string socket = (dir.path() / "system_bus_socket").string();
  std::ofstream(dir.path() / "bus.conf")
      << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         "<busconfig><type>custom</type><listen>unix:path="
      << socket
      << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
         "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n";
  std::ofstream(dir.path() / "realtimekit.py") << kRealtimeKitTemplate;
  if (!std::filesystem::exists("/usr/bin/dbus-daemon")) GTEST_SKIP() << "no dbus-daemon";
  const pid_t bus = spawn({"/usr/bin/dbus-daemon", "--nofork", "--config-file=" + (dir.path() / "bus.conf").string()});
  const std::string address = "unix:path=" + socket;
  ASSERT_TRUE(nameOwned(address, "org.freedesktop.DBus")) << "the private bus runs";
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
  const pid_t realtimeKit = spawn({"/usr/bin/python3", "-m", "dbusmock", "--system", "-t", (dir.path() / "realtimekit.py").string()});
  ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  const bool ready = nameOwned(address, "org.freedesktop.RealtimeKit1");
  if (ready) {
    EXPECT_EXIT(asOrdinaryUser(0, 0, address), ::testing::ExitedWithCode(SCHED_RR * 50 + kOutputRealtimePriority), "")
        << "real-time from RealtimeKit, with RLIMIT_RTTIME at its maximum";
  }
  end(realtimeKit);
  end(bus);
  ASSERT_TRUE(ready) << "the RealtimeKit stand-in came up";
}

}  // namespace thread_timing_test
