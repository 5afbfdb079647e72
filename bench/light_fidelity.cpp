// Light fidelity: what a lamp fed by each output would show. For every output, shape and pulse
// rate the output streams a pulse on channel 1 (value 255) for a few seconds; the frames are
// captured with their arrival times (a UDP node on loopback with kernel time stamps; a
// pseudo-terminal read by a thread of its own), each value is held until the next frame, and
// the held signal is analysed over a whole number of pulse cycles: frames per second, the
// strongest flicker frequency, the share of the flicker power at the requested rate and at it
// plus its harmonics, and whether the output declared the rate beyond its reach.
//   light_fidelity [seconds per case (5)] [configs:
//   artnet,artnet-short,sacn,sacn-short,usbpro,usbpro-short,opendmx,opendmx-short,ola,three]
//                  [rates, comma-separated (all)]
// "three" is Art-Net, sACN and USB Pro lit by one request; "ola" goes through a private olad
// (its frames are seen as olad hands them on, so only changed frames count).
//   light_fidelity blackout [tries (200)]: three outputs lit by one request, then the page's
//   dark frame and the blackout of all outputs: from the call to the last output's first dark
//   frame.
//   light_fidelity discovery [tries (10)]: an Art-Net node answering on loopback: from asking
//   for the node list to the list, and from the poll to the node's reply.
// With LIGHT_FIDELITY_DUMP set, the frame intervals of each case go to standard error.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <numbers>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <future>

#include "dmx/artnet_discovery.hpp"
#include "dmx/artnet_sender.hpp"
#include "dmx/enttec_sender.hpp"
#include "dmx/light_router.hpp"
#include "dmx/open_dmx_sender.hpp"
#include "dmx/sacn_sender.hpp"
#include "dmx/sacn_wire.hpp"
#include "dmx/tests/dmx_test_support.hpp"
#ifdef SOLVERA_HAVE_OLA
#include "dmx/ola_sender.hpp"
#include "dmx/tests/ola_support.hpp"
#endif
#include "dmx/thread_timing.hpp"
#include "stamped_datagram.hpp"
#ifndef LIGHT_FIDELITY_BEFORE  // built against the outputs before frame schedules, for comparison
#include "dmx/frame_schedule.hpp"
#define LIGHT_HAS_SCHEDULE 1
#endif

namespace fs = std::filesystem;
using namespace solvera;
using namespace solvera::dmx;

namespace {

constexpr double kRates[] = {0.5, 1, 2, 4, 5.5, 7, 8, 10, 11, 12, 14, 15, 18, 20, 25, 30, 35, 40};
const char* const kShapes[] = {"sine", "triangle", "square", "trapezoid", "sawtooth"};
constexpr std::int64_t kSettleNs = 300'000'000;

std::int64_t nowNs(clockid_t clock = CLOCK_MONOTONIC) {
  timespec ts{};
  ::clock_gettime(clock, &ts);
  return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

struct Sample {
  std::int64_t atNs;
  double value;  // channel 1
};

// ---- capture -------------------------------------------------------------------------------

class Capture {
 public:
  virtual ~Capture() = default;
  virtual void start() = 0;
  virtual std::vector<Sample> stop() = 0;
  // What came since start(), recording on.
  virtual std::vector<Sample> peek() = 0;
};

// Art-Net (channel 1 at byte 18) or sACN (port 5568, channel 1 at byte 126) on loopback.
class UdpCapture final : public Capture {
 public:
  explicit UdpCapture(std::uint16_t port = 6454, std::size_t channel1 = 18) : node_(port), channel1_(channel1) {
    int one = 1;
    ::setsockopt(node_.fd(), SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
  }
  const std::string& address() const { return node_.address(); }
  void start() override {
    node_.drain();
    running_ = true;
    thread_ = std::thread([this] { run(); });
  }
  std::vector<Sample> stop() override {
    running_ = false;
    thread_.join();
    std::lock_guard lock(mutex_);
    return std::move(samples_);
  }
  std::vector<Sample> peek() override {
    std::lock_guard lock(mutex_);
    return samples_;
  }

 private:
  void run() {
    while (running_) {
      std::uint8_t data[600];
      auto datagram = receiveStamped(node_.fd(), data, 50);
      if (!datagram || datagram->size <= channel1_) continue;
      std::lock_guard lock(mutex_);
      samples_.push_back({datagram->arrivalNs, double(data[channel1_])});
    }
  }
  test::ArtNetReceiver node_;
  std::size_t channel1_;
  std::mutex mutex_;
  std::atomic<bool> running_{false};
  std::thread thread_;
  std::vector<Sample> samples_;
};

// A pseudo-terminal linked as <dir>/ttyUSB0; the reader stamps every chunk it gets.
class PtyCapture final : public Capture {
 public:
  enum class Format { UsbPro, OpenDmx };
  PtyCapture(const fs::path& dir, Format format) : format_(format) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ::grantpt(master_);
    ::unlockpt(master_);
    fs::create_symlink(::ptsname(master_), dir / "ttyUSB0");
    // Keep the slave open so the master never sees a hang-up between the sender's opens.
    slave_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC);
    thread_ = std::thread([this] { run(); });
  }
  ~PtyCapture() override {
    running_ = false;
    thread_.join();
    ::close(slave_);
    ::close(master_);
  }
  void start() override {
    std::lock_guard lock(mutex_);
    bytes_.clear();
    stamps_.clear();
    recording_ = true;
  }
  std::vector<Sample> stop() override {
    std::lock_guard lock(mutex_);
    recording_ = false;
    return format_ == Format::UsbPro ? usbPro() : openDmx();
  }
  std::vector<Sample> peek() override {
    std::lock_guard lock(mutex_);
    return format_ == Format::UsbPro ? usbPro() : openDmx();
  }

 private:
  void run() {
    requestPromptWakeups();  // the stamps are taken here, not by the kernel
    std::uint8_t buffer[8192];
    while (running_) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n <= 0) continue;
      std::int64_t at = nowNs();
      std::lock_guard lock(mutex_);
      if (!recording_) continue;
      bytes_.insert(bytes_.end(), buffer, buffer + n);
      stamps_.insert(stamps_.end(), std::size_t(n), at);
    }
  }
  std::vector<Sample> usbPro() const {
    std::vector<Sample> out;
    std::size_t p = 0;
    while (p + 5 <= bytes_.size()) {
      if (bytes_[p] != 0x7E || bytes_[p + 1] != 6) {
        ++p;
        continue;
      }
      std::size_t length = bytes_[p + 2] | (bytes_[p + 3] << 8);
      std::size_t end = p + 4 + length;
      if (end >= bytes_.size()) break;
      if (bytes_[end] == 0xE7 && length >= 2) out.push_back({stamps_[end], double(bytes_[p + 5])});
      p = end + 1;
    }
    return out;
  }
  // Frames are the break byte, the start code and the channels. The break is written on its
  // own, 600 us before the rest, so the reader sees it as a chunk of one zero byte: those are
  // the anchors, and the distance between them that occurs most is the frame length.
  std::vector<Sample> openDmx() const {
    std::vector<Sample> out;
    std::vector<std::size_t> anchors;
    for (std::size_t i = 1; i + 1 < bytes_.size(); ++i) {
      if (bytes_[i] == 0 && stamps_[i] != stamps_[i - 1] && stamps_[i + 1] != stamps_[i])
        anchors.push_back(i);
    }
    if (anchors.size() < 2) return out;
    std::vector<std::size_t> gaps;
    for (std::size_t i = 1; i < anchors.size(); ++i) gaps.push_back(anchors[i] - anchors[i - 1]);
    std::sort(gaps.begin(), gaps.end());
    std::size_t frame = gaps[0], count = 0;
    for (std::size_t i = 0; i < gaps.size();) {
      std::size_t j = i;
      while (j < gaps.size() && gaps[j] == gaps[i]) ++j;
      if (j - i > count) frame = gaps[i], count = j - i;
      i = j;
    }
    std::size_t next = 0;
    for (std::size_t anchor : anchors) {
      if (anchor < next) continue;
      for (std::size_t p = anchor;
           p + frame <= bytes_.size() && bytes_[p] == 0 && bytes_[p + 1] == 0; p += frame) {
        out.push_back({stamps_[p + frame - 1], double(bytes_[p + 2])});
        next = p + frame;
      }
    }
    return out;
  }

  Format format_;
  int master_ = -1, slave_ = -1;
  std::atomic<bool> running_{true};
  std::thread thread_;
  std::mutex mutex_;
  bool recording_ = false;
  std::vector<std::uint8_t> bytes_;
  std::vector<std::int64_t> stamps_;
};

#ifdef SOLVERA_HAVE_OLA
// A private olad with one universe, and the frames it hands on to a client registered for it.
class OlaCapture final : public Capture {
 public:
  OlaCapture() : olad_(1) {
    olad_.start();
    std::string why;
    if (!olad_.ready(std::chrono::seconds(20), &why)) std::fprintf(stderr, "ola: %s\n", why.c_str());
    watcher_ = std::make_unique<test::OlaUniverseWatcher>(olad_.port(), 1);
  }
  std::uint16_t port() const { return olad_.port(); }
  void start() override { from_ = watcher_->frames().size(); }
  std::vector<Sample> peek() override { return stop(); }
  std::vector<Sample> stop() override {
    std::vector<Sample> out;
    auto frames = watcher_->frames();
    for (std::size_t i = from_; i < frames.size(); ++i) {
      out.push_back({frames[i].arrivedNs, frames[i].channels.empty() ? 0.0 : double(frames[i].channels[0])});
    }
    return out;
  }

 private:
  test::PrivateOlad olad_;
  std::unique_ptr<test::OlaUniverseWatcher> watcher_;
  std::size_t from_ = 0;
};
#endif

// ---- outputs -------------------------------------------------------------------------------

// One output's frames as a lamp gets them.
struct Tap {
  std::string name;  // "" for a lane's only output
  std::shared_ptr<Capture> capture;
  std::function<std::string()> declared;  // "yes" when the output holds the mean instead
};

struct Lane {
  std::vector<Tap> taps;
  std::function<void(const DmxRequest&)> send;
  std::function<void()> stop;
  DmxRequest base;
};

std::string beyond(const auto& status) {
#ifdef LIGHT_HAS_SCHEDULE
  return status.schedule.kind == FrameSchedule::Kind::Mean ? "yes" : "no";
#else
  (void)status;
  return "-";
#endif
}

struct Config {
  std::string name;
  bool shortFrames;
  std::function<std::unique_ptr<Lane>(const fs::path& dir)> make;
};

template <typename Sender>
std::unique_ptr<Lane> serialLane(const fs::path& dir, PtyCapture::Format format) {
  auto lane = std::make_unique<Lane>();
  auto sender = std::make_shared<Sender>(systemClock(), dir.string());
  lane->taps.push_back({"", std::make_unique<PtyCapture>(dir, format), [sender] { return beyond(sender->status()); }});
  lane->send = [sender](const DmxRequest& r) { sender->send(r); };
  lane->stop = [sender] {
    sender->stop();
    sender->status();
  };
  return lane;
}

// A network output's lane: its sender and a loopback receiver.
template <typename Sender>
std::unique_ptr<Lane> networkLane(std::uint16_t port, std::size_t channel1) {
  auto lane = std::make_unique<Lane>();
  auto capture = std::make_shared<UdpCapture>(port, channel1);
  lane->base.targetIp = capture->address();
  lane->base.universe = 1;
  auto sender = std::make_shared<Sender>();
  lane->taps.push_back({"", capture, [sender] { return beyond(sender->status()); }});
  lane->send = [sender](const DmxRequest& r) { sender->send(r); };
  lane->stop = [sender] {
    sender->stop();
    sender->status();
  };
  return lane;
}

// Art-Net, sACN and a USB Pro widget lit by one request.
struct Three {
  explicit Three(const fs::path& dir)
      : artNet(std::make_shared<UdpCapture>()),
        sacn(std::make_shared<UdpCapture>(kSacnPort, kSacnHeaderBytes)),
        usbPro(std::make_shared<PtyCapture>(dir, PtyCapture::Format::UsbPro)),
        outputs(std::make_shared<DmxOutputs>(systemClock(), dir.string())),
        router(std::make_shared<LightRouter>(outputs)),
        port((dir / "ttyUSB0").string()) {}

  LightRequest request(const DmxRequest& light) const {
    DmxRequest a = light, s = light, u = light;
    a.outputMode = "artnet", a.targetIp = artNet->address(), a.universe = 1;
    s.outputMode = "sacn", s.targetIp = sacn->address(), s.universe = 1;
    u.outputMode = "enttec-usb-pro", u.serialPort = port;
    return LightRequest{{a, s, u}, true};
  }

  std::shared_ptr<UdpCapture> artNet, sacn;
  std::shared_ptr<PtyCapture> usbPro;
  std::shared_ptr<DmxOutputs> outputs;
  std::shared_ptr<LightRouter> router;
  std::string port;
};

std::vector<Config> configs() {
  auto artnet = [](const fs::path&) { return networkLane<ArtNetSender>(6454, 18); };
  auto sacn = [](const fs::path&) { return networkLane<SacnSender>(kSacnPort, kSacnHeaderBytes); };
  auto usbpro = [](const fs::path& dir) {
    return serialLane<EnttecDmxUsbProSender>(dir, PtyCapture::Format::UsbPro);
  };
  auto opendmx = [](const fs::path& dir) {
    return serialLane<OpenDmxFtdiSender>(dir, PtyCapture::Format::OpenDmx);
  };
  auto three = [](const fs::path& dir) {
    auto lane = std::make_unique<Lane>();
    auto rig = std::make_shared<Three>(dir);
    auto outputs = rig->outputs;
    lane->taps.push_back({"artnet", rig->artNet, [outputs] { return beyond(outputs->artNet.status()); }});
    lane->taps.push_back({"sacn", rig->sacn, [outputs] { return beyond(outputs->sacn.status()); }});
    lane->taps.push_back({"usbpro", rig->usbPro, [outputs] { return beyond(outputs->enttecUsbPro.status()); }});
    lane->send = [rig](const DmxRequest& r) {
      for (const auto& result : rig->router->send(rig->request(r))) {
        if (result.error) std::fprintf(stderr, "three: %s: %s\n", result.outputMode.c_str(), result.error->message.c_str());
      }
    };
    lane->stop = [rig] {
      rig->router->stopAll();
      rig->outputs->artNet.status();
      rig->outputs->sacn.status();
      rig->outputs->enttecUsbPro.status();
    };
    return lane;
  };
  std::vector<Config> all{{"artnet", false, artnet},   {"artnet-short", true, artnet},
                          {"sacn", false, sacn},       {"sacn-short", true, sacn},
                          {"usbpro", false, usbpro},   {"usbpro-short", true, usbpro},
                          {"opendmx", false, opendmx}, {"opendmx-short", true, opendmx}};
#ifdef SOLVERA_HAVE_OLA
  auto ola = [](const fs::path&) {
    auto lane = std::make_unique<Lane>();
    auto capture = std::make_shared<OlaCapture>();
    auto sender = std::make_shared<OlaSender>(systemClock(), capture->port());
    lane->base.universe = 1;
    lane->taps.push_back({"", capture, [sender] { return beyond(sender->status()); }});
    lane->send = [sender](const DmxRequest& r) { sender->send(r); };
    lane->stop = [sender] {
      sender->stop();
      sender->status();
    };
    return lane;
  };
  all.push_back({"ola", false, ola});
#endif
  all.push_back({"three", false, three});
  return all;
}

// ---- analysis ------------------------------------------------------------------------------

struct Result {
  double fps = 0, strongestHz = 0, strongestOfLevel = 0, shareAtRate = 0, shareWithHarmonics = 0;
  bool steady = false;
};

// The held signal over [t0, t0 + T): value i from its arrival to the next one.
struct Held {
  std::vector<double> start, value;
  double t0 = 0, length = 0;

  // Complex amplitude of the flicker at f (Hz): 2/T * integral of (x - mean) e^{-i 2 pi f t}.
  std::complex<double> at(double f, double mean) const {
    const double w = 2 * std::numbers::pi * f;
    std::complex<double> sum = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
      double a = start[i] - t0, b = (i + 1 < value.size() ? start[i + 1] : t0 + length) - t0;
      sum += (value[i] - mean) * (std::polar(1.0, -w * a) - std::polar(1.0, -w * b)) /
             std::complex<double>(0, w);
    }
    return sum * 2.0 / length;
  }
};

Result analyse(const std::vector<Sample>& samples, double hz) {
  Result r;
  if (samples.size() < 4) return r;
  const double first = double(samples.front().atNs) / 1e9 + kSettleNs / 1e9;
  const double last = double(samples.back().atNs) / 1e9;
  const double cycles = std::floor((last - first) * hz);
  Held held;
  held.t0 = first;
  held.length = cycles >= 1 ? cycles / hz : last - first;
  std::size_t frames = 0;
  double current = samples.front().value;
  held.start.push_back(first);
  held.value.push_back(current);
  for (const auto& s : samples) {
    double t = double(s.atNs) / 1e9;
    if (t <= first) {
      held.value.back() = s.value;
      continue;
    }
    if (t >= first + held.length) break;
    held.start.push_back(t);
    held.value.push_back(s.value);
    ++frames;
  }
  r.fps = frames / held.length;
  double mean = 0, square = 0;
  for (std::size_t i = 0; i < held.value.size(); ++i) {
    double b = i + 1 < held.value.size() ? held.start[i + 1] : first + held.length;
    double d = b - held.start[i];
    mean += held.value[i] * d;
    square += held.value[i] * held.value[i] * d;
  }
  mean /= held.length;
  const double power = square / held.length - mean * mean;
  if (power <= 1e-9 * (mean * mean + 1)) {
    r.steady = true;
    return r;
  }
  auto powerAt = [&](double f) { return std::norm(held.at(f, mean)) / 2; };
  r.shareAtRate = powerAt(hz) / power;
  double harmonics = 0;
  for (int k = 1; k * hz <= 1000; ++k) harmonics += powerAt(k * hz);
  r.shareWithHarmonics = std::min(1.0, harmonics / power);
  // The strongest component on a fine grid, then refined around the peak.
  double best = 0, bestF = 0;
  const double step = 0.25 / held.length;
  for (double f = std::max(step, 0.1); f <= 130; f += step) {
    double a = std::abs(held.at(f, mean));
    if (a > best) best = a, bestF = f;
  }
  for (double f = bestF - step; f <= bestF + step; f += step / 20) {
    double a = std::abs(held.at(f, mean));
    if (a > best) best = a, bestF = f;
  }
  r.strongestHz = bestF;
  r.strongestOfLevel = mean > 0 ? best / mean : 0;
  return r;
}

std::string verdict(const Result& r, double hz, const std::string& shape,
                    const std::string& declared) {
  if (declared == "yes") return r.steady || r.strongestOfLevel <= 0.02 ? "ok (steady)" : "FLICKER";
  if (r.steady) return "STEADY?";
  bool rate = std::abs(r.strongestHz - hz) <= 0.2;
  bool form = shape == "sine"     ? r.shareAtRate >= 0.8
              : shape == "square" ? r.shareWithHarmonics >= 0.9
                                  : true;
  return rate && form ? "ok" : "FALSE";
}

// ---- blackout and discovery ----------------------------------------------------------------

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5))];
}

// The first dark frame at or after fromNs, in ns after it; -1 when none came.
double firstDarkAfter(const std::vector<Sample>& samples, std::int64_t fromNs) {
  for (const auto& s : samples) {
    if (s.atNs >= fromNs && s.value == 0) return static_cast<double>(s.atNs - fromNs);
  }
  return -1;
}

int blackoutBench(int tries) {
  const fs::path dir = fs::temp_directory_path() / ("light-blackout-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  int missed = 0;
  {
    Three rig(dir);
    DmxRequest lit;
    lit.dmx = {255};
    DmxRequest dark;
    dark.dmx = {0};
    std::vector<double> pageMs, allMs;
    for (int i = 0; i < 2 * tries; ++i) {
      const bool page = i % 2 == 0;  // the page's dark frame, else the blackout of all outputs
      for (auto* capture : std::initializer_list<Capture*>{rig.artNet.get(), rig.sacn.get(), rig.usbPro.get()}) {
        capture->start();
      }
      rig.router->send(rig.request(lit));
      // Every output lit (a widget may take a moment to open again after the last blackout).
      auto isLit = [](Capture* c) {
        auto samples = c->peek();
        return std::any_of(samples.begin(), samples.end(), [](const Sample& x) { return x.value == 255; });
      };
      const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (!(isLit(rig.artNet.get()) && isLit(rig.sacn.get()) && isLit(rig.usbPro.get())) &&
             std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));  // lit for a while, as a session is
      const std::int64_t realNs = nowNs(CLOCK_REALTIME), monoNs = nowNs();
      if (page) {
        rig.router->send(rig.request(dark));
      } else {
        rig.router->blackoutAll();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(80));
      const double a = firstDarkAfter(rig.artNet->stop(), realNs);
      const double s = firstDarkAfter(rig.sacn->stop(), realNs);
      const double u = firstDarkAfter(rig.usbPro->stop(), monoNs);
      if (std::getenv("LIGHT_FIDELITY_DUMP")) {
        std::fprintf(stderr, "%s: art %.2f sacn %.2f usb %.2f ms\n", page ? "page" : "all", a / 1e6, s / 1e6, u / 1e6);
      }
      if (a < 0 || s < 0 || u < 0) {
        ++missed;
        continue;
      }
      (page ? pageMs : allMs).push_back(std::max({a, s, u}) / 1e6);
    }
    std::printf("blackout, three outputs (Art-Net, sACN, USB Pro), %d tries each: request to the last output's first dark frame\n", tries);
    std::printf("  page's dark frame:       p50 %.2f ms  p99 %.2f ms  max %.2f ms\n", percentile(pageMs, 0.5),
                percentile(pageMs, 0.99), percentile(pageMs, 1.0));
    std::printf("  blackout of all outputs: p50 %.2f ms  p99 %.2f ms  max %.2f ms\n", percentile(allMs, 0.5),
                percentile(allMs, 0.99), percentile(allMs, 1.0));
    std::printf("  tries without a dark frame on every output: %d\n", missed);
    rig.router->stopAll();
  }
  fs::remove_all(dir);
  return missed == 0 ? 0 : 1;
}

int discoveryBench(int tries) {
  // A node on a loopback address of its own that answers every ArtPoll at once.
  test::ArtNetReceiver node;
  std::atomic<bool> running{true};
  std::atomic<std::int64_t> answeredNs{0};
  std::thread answering([&] {
    const auto reply = test::artPollReplyBytes(test::bytesOf(node.address()), "Bench", "Bench node");
    while (running) {
      pollfd p{node.fd(), POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      std::uint8_t buffer[64];
      sockaddr_in from{};
      socklen_t length = sizeof from;
      if (::recvfrom(node.fd(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length) <= 0) continue;
      answeredNs = nowNs();
      ::sendto(node.fd(), reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
    }
  });
  ArtNetDiscovery::Settings settings;
  settings.bindAddress = test::uniqueLoopbackAddress();
  settings.pollTargets = [&] { return std::vector<std::string>{node.address()}; };
  ArtNetDiscovery discovery(settings);
  std::vector<double> listedMs, answerMs;
  int found = 0;
  for (int i = 0; i < tries; ++i) {
    std::promise<std::size_t> done;
    const std::int64_t asked = nowNs();
    discovery.nodes(true, [&](const std::vector<DiscoveredNode>& nodes) { done.set_value(nodes.size()); });
    found += done.get_future().get() == 1 ? 1 : 0;
    listedMs.push_back(static_cast<double>(nowNs() - asked) / 1e6);
    answerMs.push_back(static_cast<double>(answeredNs.load() - asked) / 1e6);
  }
  // A second look within the fresh period is answered from the last poll.
  const std::int64_t asked = nowNs();
  std::promise<void> again;
  discovery.nodes(false, [&](const std::vector<DiscoveredNode>&) { again.set_value(); });
  again.get_future().get();
  const double freshMs = static_cast<double>(nowNs() - asked) / 1e6;
  running = false;
  answering.join();
  std::printf("discovery, one node on loopback, %d polls (reply window %lld ms): node listed %d times\n", tries,
              static_cast<long long>(settings.window.count()), found);
  std::printf("  asking to the list:   p50 %.1f ms  max %.1f ms\n", percentile(listedMs, 0.5), percentile(listedMs, 1.0));
  std::printf("  asking to the reply:  p50 %.2f ms  max %.2f ms\n", percentile(answerMs, 0.5), percentile(answerMs, 1.0));
  std::printf("  a second look within 5 s (from the last poll): %.2f ms\n", freshMs);
  return found == tries ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
  if (argc > 1 && std::string(argv[1]) == "blackout") return blackoutBench(argc > 2 ? std::atoi(argv[2]) : 200);
  if (argc > 1 && std::string(argv[1]) == "discovery") return discoveryBench(argc > 2 ? std::atoi(argv[2]) : 10);
  std::string wanted =
      argc > 2 ? argv[2] : "artnet,artnet-short,sacn,sacn-short,usbpro,usbpro-short,opendmx,opendmx-short,ola,three";
#ifndef LIGHT_HAS_SCHEDULE
  wanted = argc > 2 ? argv[2] : "artnet,usbpro,opendmx";  // no short frames to ask for
#endif
  std::printf("%-20s %-10s %6s %7s %10s %8s %7s %9s %8s  %s\n", "output", "shape", "Hz", "fps",
              "strongest", "of level", "at rate", "+harmon.", "beyond", "verdict");
  for (const auto& config : configs()) {
    if (("," + wanted + ",").find("," + config.name + ",") == std::string::npos) continue;
    // One lane per shape, all five streaming at once.
    std::vector<std::unique_ptr<Lane>> lanes;
    std::vector<fs::path> dirs;
    for (std::size_t i = 0; i < std::size(kShapes); ++i) {
      fs::path dir = fs::temp_directory_path() /
                     ("light-fidelity-" + std::to_string(::getpid()) + "-" + std::to_string(i));
      fs::create_directories(dir);
      dirs.push_back(dir);
      lanes.push_back(config.make(dir));
    }
    std::vector<double> rates(std::begin(kRates), std::end(kRates));
    if (argc > 3) {
      rates.clear();
      std::stringstream list(argv[3]);
      for (std::string item; std::getline(list, item, ',');)
        rates.push_back(std::atof(item.c_str()));
    }
    for (double hz : rates) {
      for (std::size_t i = 0; i < lanes.size(); ++i) {
        DmxRequest request = lanes[i]->base;
        if (request.targetIp.empty()) request.targetIp = "0.0.0.0";
        request.dmx = {255};
        request.pulseHz = hz;
        request.pulseChannels = std::vector<std::int64_t>{1};
        request.pulseShape = kShapes[i];
#ifdef LIGHT_HAS_SCHEDULE
        if (config.shortFrames) request.shortFrames = true;
#endif
        for (auto& tap : lanes[i]->taps) tap.capture->start();
        try {
          lanes[i]->send(request);
        } catch (const std::exception& e) {
          std::fprintf(stderr, "%s: %s\n", config.name.c_str(), e.what());
        }
      }
      std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
      std::vector<std::vector<std::vector<Sample>>> captured;
      for (auto& lane : lanes) {
        captured.emplace_back();
        for (auto& tap : lane->taps) captured.back().push_back(tap.capture->stop());
      }
      for (std::size_t i = 0; i < lanes.size(); ++i) {
        for (std::size_t k = 0; k < lanes[i]->taps.size(); ++k) {
          const Tap& tap = lanes[i]->taps[k];
          const std::vector<Sample>& samples = captured[i][k];
          const std::string name = tap.name.empty() ? config.name : config.name + ":" + tap.name;
          const std::string declared = tap.declared();
          Result r = analyse(samples, hz);
          if (std::getenv("LIGHT_FIDELITY_DUMP")) {
            std::fprintf(stderr, "%s %s %.1f Hz:", name.c_str(), kShapes[i], hz);
            for (std::size_t j = 1; j < samples.size() && j < 200; ++j) {
              std::fprintf(stderr, " %.1f/%d", (samples[j].atNs - samples[j - 1].atNs) / 1e6, int(samples[j].value));
            }
            std::fprintf(stderr, "\n");
          }
          std::printf("%-20s %-10s %6.1f %7.1f %10.2f %7.1f%% %6.1f%% %8.1f%% %8s  %s\n", name.c_str(),
                      kShapes[i], hz, r.fps, r.strongestHz, 100 * r.strongestOfLevel, 100 * r.shareAtRate,
                      100 * r.shareWithHarmonics, declared.c_str(), verdict(r, hz, kShapes[i], declared).c_str());
          std::fflush(stdout);
        }
      }
    }
    for (auto& lane : lanes) lane->stop();
    lanes.clear();
    for (auto& dir : dirs) fs::remove_all(dir);
  }
}
