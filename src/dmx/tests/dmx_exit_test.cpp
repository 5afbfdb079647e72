// The headless program darkens its lamps however it ends: in order on SIGTERM, from its
// signal handler on a fatal signal, and through its watcher process after SIGKILL.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <thread>
#include <string>
#include <vector>

#include "dmx/artnet_sender.hpp"
#include "dmx/dmx_wire.hpp"
#include "dmx/last_light.hpp"
#include "dmx/tests/dmx_test_support.hpp"
#include "server/tests/test_client.hpp"

extern char** environ;

// This file's own names: the test programs compile their files together in batches.
namespace dmx_exit_test {


namespace {

std::uint16_t freePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

// The program with its standard output on a pipe; killed if a test ends early.
class Program {
 public:
  // quiet: the program's own error output goes nowhere (a sanitizer reports the signals a test
  // sends on purpose).
  Program(std::vector<std::string> args, std::vector<std::string> env, bool quiet = false) {
    int out[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (quiet) posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::string program = SOLVERA_EXECUTABLE;
    std::vector<char*> argv{program.data()}, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (char** e = environ; *e; ++e) envp.push_back(*e);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    EXPECT_EQ(::posix_spawn(&pid_, SOLVERA_EXECUTABLE, &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    out_ = out[0];
  }
  ~Program() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
  }
  std::string readLine() {
    std::string line;
    char c;
    while (true) {
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, 20000) <= 0 || ::read(out_, &c, 1) != 1) return line;
      line.push_back(c);
      if (c == '\n') return line;
    }
  }
  // The exit status, or 128 + the signal that ended the program. A program still there a
  // minute after the signal is killed, and the test fails rather than hangs.
  int terminate(int sig = SIGTERM) {
    // (Through the system call: glibc 2.36 declares pidfd_open without C linkage for C++.)
    const int exited = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    ::kill(pid_, sig);
    pollfd p{exited, POLLIN, 0};
    if (exited >= 0 && ::poll(&p, 1, 60000) != 1) {
      ADD_FAILURE() << "the program outlived signal " << sig;
      ::kill(pid_, SIGKILL);
    }
    if (exited >= 0) ::close(exited);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

}  // namespace

TEST(DmxAtExit, SigtermPutsExactlyOneBlackArtNetPacketOnTheWireBeforeExit) {
  solvera::test::TempDir home;
  solvera::dmx::test::ArtNetReceiver node;
  const std::string port = std::to_string(freePort());
  Program program({"--headless", "--port", port},
                  {"XDG_DATA_HOME=" + (home.path() / "data").string(),
                   "XDG_CONFIG_HOME=" + (home.path() / "config").string(),
                   "XDG_STATE_HOME=" + (home.path() / "state").string(),
                   "SOLVERA_SERIAL_DIR=" + home.path().string()});
  ASSERT_EQ(program.readLine(), "Solvera Pro Audio+Light: http://127.0.0.1:" + port + "\n");

  auto reply = solvera::test::exchange(
      static_cast<std::uint16_t>(std::stoi(port)),
      solvera::test::request("POST", "/dmx",
                             R"({"targetIp":")" + node.address() + R"(","universe":4,"dmx":[255,64,1]})"));
  ASSERT_EQ(reply.body(), R"({"ok":true,"outputMode":"artnet"})");
  ASSERT_TRUE(node.receive());

  // Pages keep sending lit frames as fast as they can while the program ends: none of them may
  // light the lamp after its blackout.
  std::atomic<bool> ending{false};
  auto client = [&](int n) {
    const std::string body = R"({"targetIp":")" + node.address() + R"(","universe":4,"dmx":[)" +
                             std::to_string(100 + n) + "]}";
    try {
      while (!ending) {
        solvera::test::exchange(static_cast<std::uint16_t>(std::stoi(port)),
                                solvera::test::request("POST", "/dmx", body));
      }
    } catch (const std::runtime_error&) {
      // The program is gone: nobody to send to.
    }
  };
  std::vector<std::thread> clients;
  for (int n = 0; n < 3; ++n) clients.emplace_back(client, n);
  // The requests are followed before the program is told to end.
  for (auto packet = node.receive(); packet && (*packet)[18] == 255; packet = node.receive()) {
  }
  EXPECT_EQ(program.terminate(), 0);
  ending = true;
  for (auto& c : clients) c.join();
  // Loopback delivers during sendto, so everything the program sent is queued here now.
  auto packets = node.drain();
  const auto blackPacket = solvera::dmx::buildArtDmxPacket({}, 4);
  const solvera::dmx::test::Bytes black(blackPacket.begin(), blackPacket.end());
  ASSERT_FALSE(packets.empty());
  EXPECT_EQ(packets.back(), black) << "the last packet is black";
  EXPECT_EQ(std::count(packets.begin(), packets.end(), black), 1) << "exactly one black packet";
}

namespace {

std::vector<std::string> programEnvironment(const solvera::test::TempDir& home) {
  return {"XDG_DATA_HOME=" + (home.path() / "data").string(), "XDG_CONFIG_HOME=" + (home.path() / "config").string(),
          "XDG_STATE_HOME=" + (home.path() / "state").string(), "SOLVERA_SERIAL_DIR=" + home.path().string()};
}

}  // namespace

TEST(DmxAtExit, AfterSigkillTheWatcherDarkensTheArtNetNode) {
  solvera::test::TempDir home;
  solvera::dmx::test::ArtNetReceiver node;
  const std::string port = std::to_string(freePort());
  Program program({"--headless", "--port", port}, programEnvironment(home));
  ASSERT_EQ(program.readLine(), "Solvera Pro Audio+Light: http://127.0.0.1:" + port + "\n");
  auto reply = solvera::test::exchange(
      static_cast<std::uint16_t>(std::stoi(port)),
      solvera::test::request("POST", "/dmx", R"({"targetIp":")" + node.address() + R"(","universe":9,"dmx":[255,255,255]})"));
  ASSERT_EQ(reply.body(), R"({"ok":true,"outputMode":"artnet"})");
  ASSERT_TRUE(node.receive());

  EXPECT_EQ(program.terminate(SIGKILL), 128 + SIGKILL);
  const auto blackPacket = solvera::dmx::buildArtDmxPacket({}, 9);
  const solvera::dmx::test::Bytes black(blackPacket.begin(), blackPacket.end());
  bool dark = false;
  // The watcher acts as soon as the kernel has closed the dead program's end of its socket.
  while (!dark) {
    auto packet = node.receive(std::chrono::seconds(30));
    if (!packet) break;
    dark = *packet == black;
  }
  EXPECT_TRUE(dark) << "a black packet after the program was killed";
}

TEST(DmxAtExit, AFatalSignalDarkensTheUsbProWidgetBeforeTheProgramDies) {
  solvera::test::TempDir home;
  solvera::dmx::test::FakeSerialDevice widget(home.path() / "ttyUSB0");
  const std::string port = std::to_string(freePort());
  Program program({"--headless", "--port", port}, programEnvironment(home), /*quiet=*/true);
  ASSERT_EQ(program.readLine(), "Solvera Pro Audio+Light: http://127.0.0.1:" + port + "\n");
  auto reply = solvera::test::exchange(
      static_cast<std::uint16_t>(std::stoi(port)),
      solvera::test::request("POST", "/dmx", R"({"outputMode":"enttec-usb-pro","targetIp":"","universe":0,"dmx":[255,255]})"));
  ASSERT_EQ(reply.body(), R"({"ok":true,"outputMode":"enttec-usb-pro"})");
  using solvera::dmx::dmxPayload;
  using solvera::dmx::usbProMessage;
  ASSERT_TRUE(widget.waitForSequence(usbProMessage(solvera::dmx::kUsbProSendDmxLabel, dmxPayload(std::vector<std::uint8_t>{255, 255}))));

  // Killed by the signal, or ended by a sanitizer's report of it.
  EXPECT_NE(program.terminate(SIGSEGV), 0) << "the signal still ends the program";
  EXPECT_TRUE(widget.waitForSequence(usbProMessage(solvera::dmx::kUsbProSendDmxLabel, dmxPayload({}))))
      << "an all-zero message after the last lit one";
}

TEST(DmxAtExit, AFatalSignalDarkensEveryLitOutputOfTheTable) {
  // Two Art-Net outputs lit at once in a process of its own (a forked death test, so that it
  // sends to this test's nodes): the handler darkens both, not only the one that reported last.
  GTEST_FLAG_SET(death_test_style, "fast");
  solvera::dmx::test::ArtNetReceiver first, second;
  auto lightBothThenFault = [&] {
    solvera::dmx::LastLight::install();
    solvera::dmx::ArtNetSender a, b;
    for (auto* pair : {&a, &b}) {
      solvera::dmx::DmxRequest request;
      request.targetIp = pair == &a ? first.address() : second.address();
      request.universe = pair == &a ? 1 : 2;
      request.dmx = {255, 255};
      pair->send(request);
    }
    std::raise(SIGSEGV);
  };
  // Killed by the signal, or ended by a sanitizer's report of it.
  EXPECT_EXIT(lightBothThenFault(), [](int status) { return !WIFEXITED(status) || WEXITSTATUS(status) != 0; }, "");
  for (auto* node : {&first, &second}) {
    const std::uint16_t universe = node == &first ? 1 : 2;
    const auto blackPacket = solvera::dmx::buildArtDmxPacket({}, universe);
    auto packets = node->drain();
    ASSERT_FALSE(packets.empty()) << "universe " << universe;
    EXPECT_EQ(packets.back(), solvera::dmx::test::Bytes(blackPacket.begin(), blackPacket.end()))
        << "universe " << universe << " is dark";
  }
}

}  // namespace dmx_exit_test
