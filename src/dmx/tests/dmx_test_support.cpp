// UDP receiver and pseudo-terminal devices for the DMX tests.
#include "dmx/tests/dmx_test_support.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sched.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace solvera::dmx::test {

std::string uniqueLoopbackAddress() {
  static std::atomic<unsigned> counter{0};
  // 64 addresses per process; the host part never reaches .0.0.0 or 127.255.255.255.
  unsigned host = ((static_cast<unsigned>(::getpid()) * 64u + counter++ % 64u) % 0xFFFFF0u) + 2u;
  return "127." + std::to_string((host >> 16) & 0xFF) + "." + std::to_string((host >> 8) & 0xFF) +
         "." + std::to_string(host & 0xFF);
}

ArtNetReceiver::ArtNetReceiver(std::uint16_t port) {
  for (int attempt = 0; attempt < 64 && fd_ < 0; ++attempt) {
    std::string candidate = uniqueLoopbackAddress();
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket");
    int size = 4 << 20;  // room for minutes of ticks while a test looks elsewhere
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, candidate.c_str(), &address.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      fd_ = fd;
      address_ = candidate;
    } else {
      ::close(fd);
    }
  }
  if (fd_ < 0) throw std::runtime_error("no free loopback address for port " + std::to_string(port));
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

namespace {

std::vector<std::uint8_t> padded(const std::string& text, std::size_t size) {
  std::vector<std::uint8_t> field(text.begin(), text.end());
  field.resize(size, 0x00);
  return field;
}

}  // namespace

// An ArtPollReply of the full Art-Net 4 length (239 bytes), field by field.
Bytes artPollReplyBytes(std::array<std::uint8_t, 4> ip, const std::string& shortName, const std::string& longName,
                        std::uint8_t bindIndex) {
  Bytes reply{'A', 'r', 't', '-', 'N', 'e', 't', 0x00,  // ID
              0x00, 0x21,                               // OpPollReply, low byte first
              ip[0], ip[1], ip[2], ip[3],               // the node's IP address
              0x36, 0x19,                               // port 6454, low byte first
              0x01, 0x00,                               // firmware version
              0x01,                                     // NetSwitch: net 1
              0x02,                                     // SubSwitch: sub-net 2
              0x00, 0xFF,                               // OEM
              0x00,                                     // UBEA version
              0xD0,                                     // Status1
              0x00, 0x00};                              // ESTA manufacturer
  auto append = [&](const std::vector<std::uint8_t>& field) { reply.insert(reply.end(), field.begin(), field.end()); };
  append(padded(shortName, 18));                                  // short name
  append(padded(longName, 64));                                   // long name
  append(padded("#0001 [0042] Power On Tests successful", 64));   // node report
  append({0x00, 0x04});                                           // NumPorts: 4
  append({0x80, 0x80, 0x40, 0xC0});                               // PortTypes: out, out, in only, in and out
  append({0x00, 0x00, 0x00, 0x00});                               // GoodInput
  append({0x80, 0x80, 0x00, 0x80});                               // GoodOutputA
  append({0x00, 0x00, 0x02, 0x00});                               // SwIn
  append({0x00, 0x01, 0x02, 0x03});                               // SwOut: universe nibbles
  append({0x00, 0x00, 0x00, 0x00, 0x00, 0x00});                   // AcnPriority, SwMacro, SwRemote, spare
  append({0x00});                                                 // Style: a node
  append({0x02, 0x00, 0x00, 0x00, 0x00, 0x07});                   // MAC
  append({ip[0], ip[1], ip[2], ip[3]});                           // BindIp
  append({bindIndex});                                            // BindIndex
  append({0x08});                                                 // Status2
  reply.resize(239, 0x00);                                        // GoodOutputB .. filler
  return reply;
}

FakeArtNetNode::FakeArtNetNode(std::function<Bytes(const std::string& self)> reply) : socket_(6454) {
  thread_ = std::thread([this, reply = std::move(reply)] {
    pollfd p{socket_.fd(), POLLIN, 0};
    if (::poll(&p, 1, 20'000) <= 0) return;
    Bytes poll(64);
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t n = ::recvfrom(socket_.fd(), poll.data(), poll.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
    poll.resize(static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    polled_.set_value(poll);
    const Bytes answer = reply(socket_.address());
    ::sendto(socket_.fd(), answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
  });
}

FakeArtNetNode::~FakeArtNetNode() { thread_.join(); }

std::array<std::uint8_t, 4> bytesOf(const std::string& dotted) {
  in_addr address{};
  ::inet_pton(AF_INET, dotted.c_str(), &address);
  const std::uint32_t host = ntohl(address.s_addr);
  return {static_cast<std::uint8_t>(host >> 24), static_cast<std::uint8_t>(host >> 16),
          static_cast<std::uint8_t>(host >> 8), static_cast<std::uint8_t>(host)};
}


bool inNetworkNamespace(const std::string& setup, const std::function<void()>& body, std::string* why) {
  bool ran = false;
  std::thread inside([&] {
    if (::unshare(CLONE_NEWNET) != 0) {
      *why = std::string("no network namespace: ") + std::strerror(errno);
      return;
    }
    // Children of this thread start in its namespace.
    pid_t pid = 0;
    const char* argv[] = {"sh", "-ec", setup.c_str(), nullptr};
    if (::posix_spawnp(&pid, "sh", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) {
      *why = "no shell for the namespace's setup";
      return;
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      *why = "the namespace's setup failed: " + setup;
      return;
    }
    body();
    ran = true;
  });
  inside.join();
  return ran;
}

std::uint16_t freeTcpPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
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
