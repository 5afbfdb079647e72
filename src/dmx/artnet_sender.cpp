// The Art-Net sender's state, ticks, socket and trace file, all on its own queue.
#include "dmx/artnet_sender.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <unordered_map>

#include "common/error.hpp"
#include "common/repeating_timer.hpp"
#include "dmx/dmx_wire.hpp"
#include "dmx/thread_timing.hpp"

namespace solvera::dmx {
namespace {

constexpr const char* kDomain = "SolveraArtNet";

struct StreamKeyHash {
  std::size_t operator()(const ArtNetSender::StreamKey& key) const {
    return std::hash<std::string>()(key.targetIp) * 31 + key.universe;
  }
};

bool writeAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Appends to an existing file; a new file appears whole (temporary file, then rename).
// Failures are ignored: the trace is a diagnosis aid, never a reason to stop the light.
void appendToTrace(const std::string& path, const std::string& chunk) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) return;
    writeAll(fd, chunk);
    ::close(fd);
    return;
  }
  std::string temporary = path + ".XXXXXX";
  int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return;
  bool written = ::fchmod(fd, 0644) == 0 && writeAll(fd, chunk);
  written = ::close(fd) == 0 && written;
  if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) ::unlink(temporary.c_str());
}

}  // namespace

class ArtNetSender::Core : public std::enable_shared_from_this<Core> {
 public:
  Core(SerialQueue& queue, Clock& clock) : queue_(queue), clock_(clock) {}
  ~Core() {
    timer_.reset();
    closeSocket();
  }

  void send(const DmxRequest& request) {
    StreamKey key{request.targetIp, request.universe};
    auto existing = streams_.find(key);
    std::int64_t epoch = existing != streams_.end() ? existing->second.pulseEpoch : clock_.monotonicNs();
    Stream stream = prepareStream(request, epoch);
    // One destination at a time: another target or universe simply receives nothing more.
    streams_.clear();
    streams_.emplace(std::move(key), std::move(stream));
    startTimerIfNeeded();
    sendStreams();
  }

  void stop() {
    streams_.clear();
    timer_.reset();
    closeSocket();
  }

  void blackoutAndStop() {
    static const std::vector<std::uint8_t> zeros(kDmxChannels, 0);
    for (const auto& [key, stream] : streams_) {
      try {
        sendPacket(zeros, stream.request.universe, stream.request.targetIp);
      } catch (const ErrorException&) {
        // Best effort at exit: nothing is left to tell.
      }
    }
    stop();
  }

  Status status() const {
    Status status;
    if (!streams_.empty()) status.stream = streams_.begin()->first;
    status.timerRunning = timer_ && timer_->isActive();
    status.socketOpen = socketFd_ >= 0;
    return status;
  }

 private:
  void startTimerIfNeeded() {
    if (timer_) return;
    timer_ = std::make_unique<RepeatingTimer>(queue_);
    timer_->start(std::chrono::nanoseconds(0), kTickPeriod, weakly(shared_from_this(), [](Core& core) {
                    try {
                      core.sendStreams();
                    } catch (const std::exception&) {
                      // A tick has nobody to report to; the next tick tries again.
                    }
                  }));
  }

  void sendStreams() {
    const std::int64_t now = clock_.monotonicNs();
    for (const auto& [key, stream] : streams_) {
      auto frame = modulateFrame(stream, now);
      writeTrace(now, stream, frame);
      sendPacket(frame, stream.request.universe, stream.request.targetIp);
    }
  }

  void ensureSocket() {
    if (socketFd_ >= 0) return;
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) throw ErrorException(kDomain, errno, "Art-Net UDP-socket kon niet worden geopend.");
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);  // 255.255.255.255 and subnet broadcasts
    socketFd_ = fd;
  }

  void sendPacket(std::span<const std::uint8_t> frame, std::uint16_t universe, const std::string& targetIp) {
    ensureSocket();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kArtNetPort);
    // Dotted-decimal IPv4 only: a host name would need a blocking lookup on every tick.
    if (::inet_pton(AF_INET, targetIp.c_str(), &address.sin_addr) != 1) {
      throw ErrorException(kDomain, 400, "Ongeldig Art-Net IP-adres.");
    }
    const ArtDmxPacket packet = buildArtDmxPacket(frame, universe);
    ssize_t sent = ::sendto(socketFd_, packet.data(), packet.size(), 0,
                            reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (sent != static_cast<ssize_t>(packet.size())) {
      throw ErrorException(kDomain, errno, "Art-Net pakket kon niet worden verzonden.");
    }
  }

  void closeSocket() {
    if (socketFd_ < 0) return;
    ::close(socketFd_);
    socketFd_ = -1;
  }

  void writeTrace(std::int64_t now, const Stream& stream, std::span<const std::uint8_t> frame) {
    if (!tracePath_) {
      const char* value = std::getenv("SOLVERA_DMX_TRACE");
      tracePath_ = value && *value ? std::optional<std::string>(value) : std::nullopt;
    }
    if (!*tracePath_) return;
    std::string chunk;
    if (!traceHeaderWritten_) {
      // Marked before writing, so a failed write does not bring the header back later.
      traceHeaderWritten_ = true;
      chunk = kTraceHeader;
    }
    chunk += traceLine(now, stream, frame);
    appendToTrace(**tracePath_, chunk);
  }

  SerialQueue& queue_;
  Clock& clock_;
  std::unordered_map<StreamKey, Stream, StreamKeyHash> streams_;
  std::unique_ptr<RepeatingTimer> timer_;
  int socketFd_ = -1;
  std::optional<std::optional<std::string>> tracePath_;  // outer: resolved yet; inner: a file
  bool traceHeaderWritten_ = false;
};

ArtNetSender::ArtNetSender(Clock& clock)
    : queue_("mirowen.artnet"), core_(std::make_shared<Core>(queue_, clock)) {
  queue_.post(requestPromptWakeups);
}

ArtNetSender::~ArtNetSender() {
  queue_.shutdown();  // a queued blackout still goes out
  core_.reset();      // the queue's thread is gone: nothing else touches the core now
}

void ArtNetSender::send(const DmxRequest& request) {
  queue_.sync([&] { core_->send(request); });
}

void ArtNetSender::stop() {
  queue_.post([weak = std::weak_ptr<Core>(core_)] {
    if (auto core = weak.lock()) core->stop();
  });
}

void ArtNetSender::blackoutAndStop() {
  queue_.post([weak = std::weak_ptr<Core>(core_)] {
    if (auto core = weak.lock()) core->blackoutAndStop();
  });
}

ArtNetSender::Status ArtNetSender::status() {
  return queue_.sync([&] { return core_->status(); });
}

}  // namespace solvera::dmx
