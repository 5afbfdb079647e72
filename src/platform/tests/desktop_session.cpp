// Child processes, a private bus, a virtual display and a recording HTTP listener for tests.
#include "platform/tests/desktop_session.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <utility>

#include "common/json.hpp"
#include "http/http.hpp"

extern char** environ;

namespace solvera::test {
namespace {

int remainingMs(std::chrono::steady_clock::time_point end) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

Environment environmentWith(const Environment& changes) {
  Environment result;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    auto eq = entry.find('=');
    if (eq != std::string::npos) result[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [name, value] : changes) {
    if (value.empty()) {
      result.erase(name);
    } else {
      result[name] = value;
    }
  }
  return result;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval) {
  auto end = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(interval);
  }
  return true;
}

std::optional<std::string> findProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::filesystem::path candidate = std::filesystem::path(dirs.substr(start, end - start)) / name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    start = end + 1;
  }
  return std::nullopt;
}

Child::Child(const std::vector<std::string>& args, const Environment& environment,
             bool captureOutput, bool mergeErrors) {
  if (args.empty()) return;
  const std::optional<std::string> path =
      args[0].find('/') == std::string::npos ? findProgram(args[0]) : args[0];
  if (!path) return;
  int out[2] = {-1, -1};
  if (captureOutput && pipe2(out, O_CLOEXEC) != 0) return;
  // Everything the child needs is prepared before the fork: after it, only async-signal-safe
  // calls.
  std::vector<std::string> storage = args;
  std::vector<char*> argv;
  for (auto& a : storage) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStorage;
  for (const auto& [name, value] : environment) envStorage.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& e : envStorage) envp.push_back(e.data());
  envp.push_back(nullptr);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);
    // The child dies with the test: a test ended by its time-out or a crash leaves no display
    // server, bus or program behind.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(captureOutput ? out[1] : null, 1);
    if (captureOutput && mergeErrors) ::dup2(out[1], 2);
    if (null > 2) ::close(null);
    ::execve(path->c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  if (captureOutput) {
    ::close(out[1]);
    out_ = out[0];
  }
  if (pid < 0) return;
  pid_ = pid;
  pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
}

Child::~Child() {
  if (pid_ > 0) {
    if (!status_) {
      signal(SIGTERM);
      if (!wait(std::chrono::seconds(5))) {
        ::kill(-pid_, SIGKILL);
        wait(std::chrono::seconds(5));
      }
    }
    // Whatever the child left in its group (helpers it started) goes too.
    ::kill(-pid_, SIGKILL);
  }
  if (out_ >= 0) ::close(out_);
  if (pidfd_ >= 0) ::close(pidfd_);
}

std::optional<std::string> Child::readLine(std::chrono::milliseconds timeout) {
  auto end = std::chrono::steady_clock::now() + timeout;
  while (true) {
    auto newline = buffer_.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffer_.substr(0, newline);
      buffer_.erase(0, newline + 1);
      return line;
    }
    if (out_ < 0) return std::nullopt;
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, remainingMs(end)) <= 0) return std::nullopt;
    char chunk[4096];
    ssize_t n = ::read(out_, chunk, sizeof chunk);
    if (n <= 0) return std::nullopt;
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

std::string Child::readAll(std::chrono::milliseconds timeout) {
  auto end = std::chrono::steady_clock::now() + timeout;
  while (out_ >= 0) {
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, remainingMs(end)) <= 0) break;
    char chunk[4096];
    ssize_t n = ::read(out_, chunk, sizeof chunk);
    if (n <= 0) break;
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
  return std::exchange(buffer_, {});
}

std::optional<int> Child::wait(std::chrono::milliseconds timeout) {
  if (status_ || pid_ <= 0) return status_;
  if (pidfd_ >= 0) {
    pollfd p{pidfd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
  }
  int raw = 0;
  if (::waitpid(pid_, &raw, pidfd_ >= 0 ? 0 : WNOHANG) != pid_) return std::nullopt;
  status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return status_;
}

void Child::signal(int sig) {
  if (pid_ > 0 && !status_) ::kill(pid_, sig);
}

ToolResult runTool(const std::vector<std::string>& args, const Environment& environment,
                   std::chrono::milliseconds timeout) {
  Child child(args, environment);
  ToolResult result;
  if (!child.started()) return result;
  result.output = child.readAll(timeout);
  result.status = child.wait(timeout).value_or(-1);
  return result;
}

SessionBus::SessionBus() {
  if (!findProgram("dbus-daemon")) return;
  daemon_.emplace(
      std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--print-address=1"},
      environmentWith({}));
  if (auto line = daemon_->readLine(std::chrono::seconds(10))) address_ = *line;
}

VirtualDisplay::VirtualDisplay(int width, int height) {
  if (!findProgram("Xvfb")) return;
  std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
  server_.emplace(std::vector<std::string>{"Xvfb", "-displayfd", "1", "-screen", "0", screen,
                                           "-nolisten", "tcp", "-noreset"},
                  environmentWith({}));
  if (auto line = server_->readLine(std::chrono::seconds(15)); line && !line->empty()) {
    name_ = ":" + *line;
  }
}

Recorder::Recorder() {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::listen(listener_, 16);
  socklen_t length = sizeof address;
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  if (pipe2(wake_, O_CLOEXEC) != 0) return;
  thread_ = std::thread([this] { serve(); });
}

Recorder::~Recorder() {
  if (wake_[1] >= 0) (void)!::write(wake_[1], "x", 1);
  if (thread_.joinable()) thread_.join();
  for (int fd : {listener_, wake_[0], wake_[1]}) {
    if (fd >= 0) ::close(fd);
  }
}

void Recorder::serve() {
  while (true) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return;
    int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    std::string bytes;
    char chunk[4096];
    while (!http::requestDataIsComplete(bytes)) {
      pollfd p{connection, POLLIN, 0};
      if (::poll(&p, 1, 5000) <= 0) break;
      ssize_t n = ::read(connection, chunk, sizeof chunk);
      if (n <= 0) break;
      bytes.append(chunk, static_cast<std::size_t>(n));
    }
    auto request = http::requestInfo(bytes);
    std::string reply =
        "HTTP/1.1 204 No Content\r\nAccess-Control-Allow-Origin: *\r\nConnection: close\r\n\r\n";
    (void)!::write(connection, reply.data(), reply.size());
    ::close(connection);
    if (request.method != "POST") continue;
    auto body = parseJson(request.body);
    std::lock_guard lock(mutex_);
    records_.push_back(body.value_or(Json(request.body)));
    changed_.notify_all();
  }
}

bool Recorder::waitFor(const std::function<bool(const std::vector<Json>&)>& predicate,
                       std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return predicate(records_); });
}

std::vector<Json> Recorder::records() {
  std::lock_guard lock(mutex_);
  return records_;
}

}  // namespace solvera::test
