// Test helpers over POSIX sockets, independent of the server's own code.
#include "server/tests/test_client.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <stdexcept>

#include "common/main_thread.hpp"
#include "session/settings.hpp"

namespace solvera::test {
namespace fs = std::filesystem;

namespace {

int connectTo(std::uint16_t port, const std::string& host = "127.0.0.1") {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket");
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
    ::close(fd);
    throw std::runtime_error("address");
  }
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    throw std::runtime_error("connect");
  }
  return fd;
}

bool sendAll(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

OpenConnection::OpenConnection(std::uint16_t port, const std::string& host)
    : fd_(connectTo(port, host)) {}
OpenConnection::~OpenConnection() {
  ::close(fd_);
}

void OpenConnection::send(const std::string& bytes) {
  sendAll(fd_, bytes);
}

Reply OpenConnection::readToEnd(std::chrono::milliseconds limit) {
  Reply reply;
  auto deadline = std::chrono::steady_clock::now() + limit;
  char buf[65536];
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return Reply{};
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) {
      reply.closedByServer = n == 0 || errno == ECONNRESET;
      return reply;
    }
    reply.bytes.append(buf, static_cast<std::size_t>(n));
  }
}

bool OpenConnection::closedByServer() {
  char c;
  ssize_t n = ::recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

std::string OpenConnection::readSome(std::size_t n) {
  std::string out(n, '\0');
  ssize_t got = ::recv(fd_, out.data(), n, 0);
  out.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return out;
}

bool OpenConnection::readUntil(std::string& into, const std::function<bool(const std::string&)>& done,
                               std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  char buf[65536];
  while (!done(into)) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return false;
    into.append(buf, static_cast<std::size_t>(n));
  }
  return true;
}

Reply exchange(std::uint16_t port, const std::vector<std::string>& pieces, bool halfClose) {
  int fd = connectTo(port);
  Reply reply;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const auto& piece = pieces[i];
    if (i > 0) {
      // The server must still be waiting for the rest: nothing may have come back yet.
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 150) > 0) reply.repliedBeforeLastPiece = true;
    }
    std::size_t sent = 0;
    while (sent < piece.size()) {
      ssize_t n = ::send(fd, piece.data() + sent, piece.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
  }
  if (halfClose) ::shutdown(fd, SHUT_WR);
  char buf[65536];
  while (true) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n == 0) {
      reply.closedByServer = true;
      break;
    }
    if (n < 0) {
      reply.closedByServer = errno == ECONNRESET;
      break;
    }
    reply.bytes.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return reply;
}

Reply exchange(std::uint16_t port, const std::string& request) {
  return test::exchange(port, std::vector<std::string>{request}, false);
}

std::string request(const std::string& method, const std::string& target, const std::string& body,
                    const std::string& extraHeaders) {
  std::string out = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders;
  if (!body.empty() || method == "POST") {
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  }
  return out + "\r\n" + body;
}

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "solvera-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void TempDir::write(const fs::path& relative, const std::string& bytes) const {
  fs::create_directories((path_ / relative).parent_path());
  std::ofstream(path_ / relative, std::ios::binary) << bytes;
}

RunningServer::RunningServer(StaticServer::Options options, RouteSettings routes) {
  fs::create_directories(root());
  fs::create_directories(library());
  if (options.rootURL.empty()) options.rootURL = root();
  if (options.musicLibraryURL.empty()) options.musicLibraryURL = library();
  options.preferredPort = 0;
  // The program's settings and own sessions in the test's folder, never the person's.
  if (!routes.settingsStore) {
    routes.settingsStore = std::make_shared<session::SettingsStore>(dir_.path() / "config" / "settings.json",
                                                                    dir_.path() / "data" / "own-sessions.json");
  }
  server_ = StaticServer::create(std::move(options), standardRoutes(std::move(routes)));
  bool ready = false, failed = false;
  server_->start([&] { ready = true; }, [&](const Error&) { failed = true; });
  mainthread::runUntil([&] { return ready || failed; });
  if (!ready) throw std::runtime_error("test server did not start");
}

RunningServer::~RunningServer() {
  server_->stop();
  server_.reset();
}

}  // namespace solvera::test
