// The loopback stand-in service: plain sockets, one thread per connection, a pipe to stop.
#include "cloud/tests/stand_in_service.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "http/http.hpp"

namespace solvera::test {

StandInService::Answer StandInService::reply(std::string statusLine, std::string body,
                                             std::string contentType) {
  Answer a;
  a.statusLine = std::move(statusLine);
  a.body = std::move(body);
  a.contentType = std::move(contentType);
  return a;
}

StandInService::Answer StandInService::redirect(std::string statusLine,
                                                const std::string& location) {
  Answer a = reply(std::move(statusLine), "");
  a.extraHeaders = "Location: " + location + "\r\n";
  return a;
}

StandInService::Answer StandInService::silent() {
  Answer a;
  a.kind = Answer::Kind::silent;
  return a;
}

StandInService::Answer StandInService::trickle() {
  Answer a;
  a.kind = Answer::Kind::trickle;
  return a;
}

StandInService::StandInService(Answer answer) : answer_(std::move(answer)) {
  if (::pipe(stopPipe_) != 0) throw std::runtime_error("pipe");
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listenFd_, 16) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::runtime_error("stand-in service could not listen");
  }
  port_ = ntohs(addr.sin_port);
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

StandInService::~StandInService() {
  char c = 'x';
  [[maybe_unused]] auto n = ::write(stopPipe_[1], &c, 1);
  acceptThread_.join();
  for (auto& t : threads_) t.join();
  ::close(listenFd_);
  ::close(stopPipe_[0]);
  ::close(stopPipe_[1]);
}

void StandInService::answerWith(Answer answer) {
  std::lock_guard lock(mutex_);
  answer_ = std::move(answer);
}

std::string StandInService::baseURL() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

bool StandInService::waitForRequests(std::size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= n; });
}

std::vector<RecordedRequest> StandInService::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::size_t StandInService::connectionCount() const {
  std::lock_guard lock(mutex_);
  return connections_;
}

bool StandInService::stopRequested(int timeoutMs) const {
  pollfd p{stopPipe_[0], POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) > 0;
}

void StandInService::acceptLoop() {
  while (true) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard lock(mutex_);
    ++connections_;
    threads_.emplace_back([this, fd] {
      serve(fd);
      ::close(fd);
    });
  }
}

void StandInService::serve(int fd) {
  std::string bytes;
  char chunk[65536];
  while (!http::requestDataIsComplete(bytes)) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 || fds[1].revents) return;
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return;
    bytes.append(chunk, static_cast<std::size_t>(n));
  }
  http::RequestInfo info = http::requestInfo(bytes);
  RecordedRequest recorded{info.method, info.path, info.query, info.headers,
                           bytes.substr(0, bytes.find("\r\n\r\n") + 2), info.body};
  // requestInfo maps "/" to "/index.html"; a service sees the path as sent.
  std::string target = bytes.substr(0, bytes.find("\r\n"));
  if (auto sp = target.find(' '); sp != std::string::npos) {
    std::string t = target.substr(sp + 1, target.rfind(' ') - sp - 1);
    recorded.path = t.substr(0, t.find('?'));
  }
  Answer answer;
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(recorded));
    answer = answer_;
    changed_.notify_all();
  }
  auto sendAll = [fd](const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
      ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  };
  switch (answer.kind) {
    case Answer::Kind::reply:
      sendAll("HTTP/1.1 " + answer.statusLine + "\r\nContent-Type: " + answer.contentType +
              "\r\nContent-Length: " + std::to_string(answer.body.size()) + "\r\n" +
              answer.extraHeaders + "Connection: close\r\n\r\n" + answer.body);
      ::shutdown(fd, SHUT_WR);
      // Let the client close first, so the reply is never cut by a reset.
      while (!stopRequested(0)) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0 && ::recv(fd, chunk, sizeof chunk, 0) <= 0) break;
      }
      return;
    case Answer::Kind::silent:
      while (!stopRequested(100)) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 0) > 0 && ::recv(fd, chunk, sizeof chunk, 0) <= 0) return;
      }
      return;
    case Answer::Kind::trickle:
      if (!sendAll("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: "
                   "1000000\r\n\r\n")) {
        return;
      }
      while (!stopRequested(100)) {
        if (!sendAll(" ")) return;
      }
      return;
  }
}

std::uint16_t refusedLoopbackPort() {
  // Bound but not listening: the port stays ours, and a connection to it is refused.
  static int fd = [] {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    return s;
  }();
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  return ntohs(addr.sin_port);
}

}  // namespace solvera::test
