// UDP receiver and pseudo-terminal devices for the DMX tests.
#include "dmx/tests/dmx_test_support.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace solvera::dmx::test {

std::string uniqueLoopbackAddress() {
  static std::atomic<unsigned> counter{0};
  // 64 addresses per process; the host part never reaches .0.0.0 or 127.255.255.255.
  unsigned host = ((static_cast<unsigned>(::getpid()) * 64u + counter++ % 64u) % 0xFFFFF0u) + 2u;
  return "127." + std::to_string((host >> 16) & 0xFF) + "." + std::to_string((host >> 8) & 0xFF) +
         "." + std::to_string(host & 0xFF);
}

ArtNetReceiver::ArtNetReceiver() {
  for (int attempt = 0; attempt < 64 && fd_ < 0; ++attempt) {
    std::string candidate = uniqueLoopbackAddress();
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket");
    int size = 4 << 20;  // room for minutes of ticks while a test looks elsewhere
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(6454);
    ::inet_pton(AF_INET, candidate.c_str(), &address.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      fd_ = fd;
      address_ = candidate;
    } else {
      ::close(fd);
    }
  }
  if (fd_ < 0) throw std::runtime_error("no free loopback address for port 6454");
}

ArtNetReceiver::~ArtNetReceiver() { ::close(fd_); }

std::optional<Bytes> ArtNetReceiver::receive(std::chrono::milliseconds timeout) {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
  Bytes buffer(2048);
  ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
  if (n < 0) return std::nullopt;
  buffer.resize(static_cast<std::size_t>(n));
  return buffer;
}

std::vector<Bytes> ArtNetReceiver::drain() {
  std::vector<Bytes> all;
  while (auto packet = receive(0ms)) all.push_back(std::move(*packet));
  return all;
}

FakeSerialDevice::FakeSerialDevice(std::filesystem::path link) : link_(std::move(link)) {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
    throw std::runtime_error("posix_openpt");
  }
  char name[128];
  if (::ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("ptsname");
  slavePath_ = name;
  ::fcntl(master_, F_SETFL, O_NONBLOCK);
  wake_ = ::eventfd(0, EFD_CLOEXEC);
  // Appears under its name in one step, as a device does when plugged in.
  auto temporary = link_;
  temporary += ".new";
  std::filesystem::remove(temporary);
  std::filesystem::create_symlink(slavePath_, temporary);
  std::filesystem::rename(temporary, link_);
  reader_ = std::thread([this] { run(); });
}

FakeSerialDevice::~FakeSerialDevice() { unplug(); }

void FakeSerialDevice::unplug() {
  if (reader_.joinable()) {
    std::uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
    reader_.join();
  }
  if (master_ >= 0) ::close(master_);
  if (wake_ >= 0) ::close(wake_);
  master_ = wake_ = -1;
  std::error_code ignored;
  // Only our own link: a new device may already sit under the same name.
  if (std::filesystem::is_symlink(link_, ignored) &&
      std::filesystem::read_symlink(link_, ignored) == slavePath_) {
    std::filesystem::remove(link_, ignored);
  }
}

void FakeSerialDevice::run() {
  std::uint8_t buffer[4096];
  while (true) {
    pollfd fds[2] = {{master_, POLLIN, 0}, {wake_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n > 0) {
      std::lock_guard lock(mutex_);
      bytes_.insert(bytes_.end(), buffer, buffer + n);
      changed_.notify_all();
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      // EIO while no slave is open: wait until one opens again.
      pollfd wake{wake_, POLLIN, 0};
      if (::poll(&wake, 1, 5) > 0) return;
    }
  }
}

bool FakeSerialDevice::waitFor(const std::function<bool(std::span<const std::uint8_t>)>& done,
                               std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    return done(std::span<const std::uint8_t>(bytes_).subspan(consumed_));
  });
}

bool FakeSerialDevice::waitForSequence(const Bytes& whole, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  std::size_t searched = consumed_;
  return changed_.wait_for(lock, timeout, [&] {
    auto begin = bytes_.begin() + static_cast<std::ptrdiff_t>(searched);
    auto found = std::search(begin, bytes_.end(), whole.begin(), whole.end());
    if (found == bytes_.end()) {
      // Only the tail can still start a match with bytes yet to come.
      searched = bytes_.size() > searched + whole.size() ? bytes_.size() - whole.size() : searched;
      return false;
    }
    consumed_ = static_cast<std::size_t>(found - bytes_.begin()) + whole.size();
    return true;
  });
}

std::optional<Bytes> FakeSerialDevice::take(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(lock, timeout, [&] { return bytes_.size() - consumed_ >= count; })) {
    return std::nullopt;
  }
  auto begin = bytes_.begin() + static_cast<std::ptrdiff_t>(consumed_);
  Bytes out(begin, begin + static_cast<std::ptrdiff_t>(count));
  consumed_ += count;
  return out;
}

void FakeSerialDevice::clear() {
  std::lock_guard lock(mutex_);
  consumed_ = bytes_.size();
}

std::size_t FakeSerialDevice::received() {
  std::lock_guard lock(mutex_);
  return bytes_.size() - consumed_;
}

}  // namespace solvera::dmx::test
