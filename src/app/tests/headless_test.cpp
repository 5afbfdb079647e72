// The headless program end to end: ready line, pages, a second copy, orderly exit on signals.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "common/tests/scoped_env.hpp"
#include "server/tests/test_client.hpp"

extern char** environ;

// This file's own names: the test programs compile their files together in batches.
namespace headless_test {


namespace {

// The program with its standard output and error on pipes.
class Program {
 public:
  explicit Program(std::vector<std::string> args) {
    int out[2], err[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::string program = SOLVERA_EXECUTABLE;
    std::vector<char*> argv{program.data()};
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, SOLVERA_EXECUTABLE, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~Program() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(out_);
    close(err_);
  }

  // One line of standard output (empty at end of stream or after 20 s of silence).
  std::string readLine() { return readLineFrom(out_); }
  std::string readAll(bool fromErr) {
    std::string all;
    for (std::string line; !(line = readLineFrom(fromErr ? err_ : out_)).empty();) all += line;
    return all;
  }
  int waitExit() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  void signal(int sig) { kill(pid_, sig); }

 private:
  std::string readLineFrom(int fd) {
    std::string line;
    char c;
    while (true) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 20000) <= 0) return line;
      if (read(fd, &c, 1) != 1) return line;
      line.push_back(c);
      if (c == '\n') return line;
    }
  }
  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;

 public:
  pid_t pid() const { return pid_; }
};

// A service manager's notification socket, as systemd hands one over in NOTIFY_SOCKET.
class NotifySocket {
 public:
  explicit NotifySocket(const std::filesystem::path& path) : path_(path.string()) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path_.copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  ~NotifySocket() { close(fd_); }
  const std::string& path() const { return path_; }
  // The next message, or empty after 20 s.
  std::string receive() {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 20000) <= 0) return "";
    char buffer[4096];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "";
  }

 private:
  std::string path_;
  int fd_ = -1;
};

// Resident memory of a process in KiB.
long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  }
  return -1;
}

// gcc names the sanitizers with macros, clang through __has_feature.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

std::uint16_t freePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

}  // namespace

TEST(Headless, ServesPagesRefusesASecondCopyAndExitsCleanlyOnSignals) {
  solvera::test::TempDir home;
  solvera::test::ScopedEnv env;
  env.set("XDG_DATA_HOME", (home.path() / "data").string())
      .set("XDG_CONFIG_HOME", (home.path() / "config").string());
  std::uint16_t port = freePort();
  std::string portText = std::to_string(port);

  Program first({"--headless", "--port", portText});
  EXPECT_EQ(first.readLine(), "Solvera Pro Audio+Light: http://127.0.0.1:" + portText + "\n");
  auto page = solvera::test::exchange(port, solvera::test::request("GET", "/"));
  EXPECT_EQ(page.statusLine(), "HTTP/1.1 200 OK");
  EXPECT_NE(page.body().find("Solvera Pro Audio+Light"), std::string::npos);
  EXPECT_NE(solvera::test::exchange(port, solvera::test::request("GET", "/remote?token=x"))
                .body()
                .find("<title>Solvera Pro — afstandsbediening</title>"),
            std::string::npos);

  Program second({"--headless", "--port", portText});
  EXPECT_EQ(second.waitExit(), 1);
  EXPECT_EQ(second.readAll(true),
            "Kon de lokale server niet starten. Sluit andere Solvera Pro Audio+Light-vensters en "
            "probeer opnieuw.\n");
  EXPECT_EQ(second.readAll(false), "") << "no ready line from the failed copy";

  first.signal(SIGTERM);
  EXPECT_EQ(first.waitExit(), 0);

  Program third({"--headless", "--port", portText});
  EXPECT_EQ(third.readLine(), "Solvera Pro Audio+Light: http://127.0.0.1:" + portText + "\n")
      << "the port is free again after an orderly exit";
  third.signal(SIGINT);
  EXPECT_EQ(third.waitExit(), 0);
}

TEST(Headless, HelpVersionAndBadArguments) {
  Program help({"--help"});
  EXPECT_EQ(help.waitExit(), 0);
  EXPECT_NE(help.readAll(false).find("--headless"), std::string::npos);
  Program version({"--version"});
  EXPECT_EQ(version.waitExit(), 0);
  EXPECT_EQ(version.readAll(false), "Solvera Pro Audio+Light 1.0.0\n");
  Program bad({"--port", "zero"});
  EXPECT_EQ(bad.waitExit(), 2);
  EXPECT_NE(bad.readAll(true).find("--port needs a number"), std::string::npos);
}

TEST(Headless, RunsLeanWithoutWindowLibrariesAndReportsToTheServiceManager) {
  solvera::test::TempDir home;
  solvera::test::ScopedEnv env;
  env.set("XDG_DATA_HOME", (home.path() / "data").string())
      .set("XDG_CONFIG_HOME", (home.path() / "config").string())
      .set("SDL_AUDIODRIVER", "dummy");
  NotifySocket manager(home.path() / "notify");
  std::optional<solvera::test::ScopedEnv> notify(std::in_place, "NOTIFY_SOCKET", manager.path());
  std::uint16_t port = freePort();
  std::string portText = std::to_string(port);
  Program program({"--headless", "--port", portText});
  notify.reset();  // only this program reports to the stand-in manager
  ASSERT_EQ(program.readLine(), "Solvera Pro Audio+Light: http://127.0.0.1:" + portText + "\n");
  EXPECT_EQ(manager.receive(), "READY=1\nSTATUS=http://127.0.0.1:" + portText);

  // A pulsed light stream to a loopback node and a running tone.
  auto dmx = solvera::test::exchange(
      port, solvera::test::request("POST", "/dmx",
                                   R"({"targetIp":"127.0.0.1","universe":0,"dmx":[255,128,64],)"
                                   R"("pulseHz":7.83,"pulseChannels":[1,2],"pulseShape":"sine"})"));
  EXPECT_EQ(dmx.body(), R"({"ok":true,"outputMode":"artnet"})");
  auto tone = solvera::test::exchange(
      port, solvera::test::request("POST", "/audio/start",
                                   R"({"mode":"isochronic","carrier":200,"beat":10,"volume":0.3})"));
  EXPECT_NE(tone.body().find(R"("ok":true)"), std::string::npos) << tone.body();

  // The same process: "--headless" handed over to the windowless program in place.
  std::ifstream maps("/proc/" + std::to_string(program.pid()) + "/maps");
  for (std::string line; std::getline(maps, line);) {
    for (const char* library : {"libgtk", "libgdk", "libwebkit", "libjavascriptcore"}) {
      EXPECT_EQ(line.find(library), std::string::npos) << line;
    }
  }
  if (!kSanitized) {
    // 20 MiB before the OLA output came in: OLA's client library and protobuf, which it needs,
    // add about 4 MiB of their pages.
    EXPECT_LE(residentKiB(program.pid()), 26 * 1024) << "resident memory in KiB";
  }

  program.signal(SIGTERM);
  EXPECT_EQ(manager.receive(), "STOPPING=1");
  EXPECT_EQ(program.waitExit(), 0);
}

}  // namespace headless_test
