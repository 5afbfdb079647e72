// The stand-in download server over POSIX sockets.
#include "content/tests/download_server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace solvera::test {

DownloadServer::DownloadServer() {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener_, 16) != 0) {
    throw std::runtime_error("download server: cannot listen");
  }
  socklen_t len = sizeof addr;
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("download server: pipe");
  wakeRead_ = pipeFds[0];
  wakeWrite_ = pipeFds[1];
  thread_ = std::thread([this] { serve(); });
}

DownloadServer::~DownloadServer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    released_ = true;
  }
  changed_.notify_all();
  char byte = 1;
  (void)!::write(wakeWrite_, &byte, 1);
  thread_.join();
  ::close(listener_);
  ::close(wakeRead_);
  ::close(wakeWrite_);
}

void DownloadServer::set(const std::string& path, Reply reply) {
  std::lock_guard lock(mutex_);
  replies_[path] = std::move(reply);
}

void DownloadServer::release() {
  {
    std::lock_guard lock(mutex_);
    released_ = true;
  }
  changed_.notify_all();
}

std::vector<std::string> DownloadServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

bool DownloadServer::waitForRequests(std::size_t n) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return requests_.size() >= n; });
}

void DownloadServer::serve() {
  while (true) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return;
    int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    answer(fd);
    ::close(fd);
  }
}

void DownloadServer::answer(int fd) {
  std::string head;
  char buf[4096];
  while (head.find("\r\n\r\n") == std::string::npos) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return;
    head.append(buf, static_cast<std::size_t>(n));
  }
  std::string path;
  auto firstSpace = head.find(' ');
  auto secondSpace = head.find(' ', firstSpace + 1);
  if (firstSpace != std::string::npos && secondSpace != std::string::npos) {
    path = head.substr(firstSpace + 1, secondSpace - firstSpace - 1);
  }
  Reply reply{"404 Not Found", "missing", false};
  {
    std::unique_lock lock(mutex_);
    requests_.push_back(head.substr(0, head.find("\r\n\r\n")));
    changed_.notify_all();
    if (auto it = replies_.find(path); it != replies_.end()) reply = it->second;
    if (reply.hold) changed_.wait(lock, [&] { return released_; });
    if (stopping_) return;
  }
  std::string out = "HTTP/1.1 " + reply.status + "\r\nContent-Type: application/zip\r\n" +
                    "Content-Length: " + std::to_string(reply.body.size()) +
                    "\r\nConnection: close\r\n\r\n" + reply.body;
  std::size_t sent = 0;
  while (sent < out.size()) {
    ssize_t n = ::send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

}  // namespace solvera::test
