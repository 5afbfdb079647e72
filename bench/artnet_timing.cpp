// Art-Net output timing: starts the server, posts light frames to "/dmx" and listens on a
// loopback Art-Net node. Prints p50/p99/max of |packet interval - 50 ms| over a run idle and a
// run with the other core busy, and the POST "/dmx" to first packet latency.
//   artnet_timing [seconds per run (10)] [latency samples (300)]
#include <arpa/inet.h>
#include <dirent.h>
#include <sched.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "server/tests/test_client.hpp"
#include "stamped_datagram.hpp"

namespace {

std::int64_t realtimeNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// A node on port 6454 of a loopback address of this process's own; the kernel stamps each
// datagram on arrival, so the figures do not include this program's own wake-up delay.
class Node {
 public:
  Node() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1, size = 8 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    unsigned host = (unsigned(::getpid()) * 7919u % 0xFFFF00u) + 0x100u;
    address_ = "127." + std::to_string((host >> 16) & 0xFF) + "." + std::to_string((host >> 8) & 0xFF) +
               "." + std::to_string(host & 0xFF);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(6454);
    ::inet_pton(AF_INET, address_.c_str(), &a.sin_addr);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      std::perror("bind 6454 on loopback");
      std::exit(1);
    }
  }
  ~Node() { ::close(fd_); }
  const std::string& address() const { return address_; }

  struct Packet {
    std::int64_t arrivalNs;
    int universe;
  };
  std::optional<Packet> receive(int timeoutMs) {
    std::uint8_t data[600];
    auto datagram = receiveStamped(fd_, data, timeoutMs);
    if (!datagram || datagram->size < 18) return std::nullopt;
    return Packet{datagram->arrivalNs, data[14] | (data[15] << 8)};
  }
  void drain() {
    while (receive(0)) {
    }
  }

 private:
  int fd_ = -1;
  std::string address_;
};

struct Summary {
  double p50, p99, max;
  std::size_t n;
};

Summary summarise(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  auto at = [&](double q) {
    return values[std::min(values.size() - 1, std::size_t(std::ceil(q * double(values.size()))) - 1)];
  };
  return {at(0.50), at(0.99), values.back(), values.size()};
}

std::string body(const std::string& address, int universe) {
  return R"({"targetIp":")" + address + R"(","universe":)" + std::to_string(universe) +
         R"(,"dmx":[255,128,64,32],"pulseHz":7.83,"pulseChannels":[1,2,3],"pulseShape":"sine"})";
}

bool post(std::uint16_t port, const std::string& json) {
  auto reply = solvera::test::exchange(port, solvera::test::request("POST", "/dmx", json));
  return reply.body() == R"({"ok":true,"outputMode":"artnet"})";
}

// |interval - 50 ms| over a run of the given length, in milliseconds.
Summary tickDeviation(Node& node, std::uint16_t port, int universe, int seconds) {
  node.drain();
  if (!post(port, body(node.address(), universe))) std::exit(1);
  std::vector<std::int64_t> arrivals;
  const std::int64_t end = realtimeNs() + std::int64_t(seconds) * 1'000'000'000;
  while (realtimeNs() < end) {
    if (auto p = node.receive(200); p && p->universe == universe) arrivals.push_back(p->arrivalNs);
  }
  std::vector<double> deviations;
  // The first two packets leave back to back (the send, then the timer's first tick).
  for (std::size_t i = 2; i < arrivals.size(); ++i) {
    deviations.push_back(std::abs(double(arrivals[i] - arrivals[i - 1]) / 1e6 - 50.0));
  }
  return summarise(deviations);
}

// From just before the connection opens to the first packet of the new stream, in ms.
Summary postToFirstPacket(Node& node, std::uint16_t port, int samples) {
  std::vector<double> latencies;
  for (int i = 0; i < samples; ++i) {
    int universe = 100 + i % 2;  // a new destination each time, so the first packet is new
    node.drain();
    std::int64_t start = realtimeNs();
    if (!post(port, body(node.address(), universe))) std::exit(1);
    while (auto p = node.receive(1000)) {
      if (p->universe == universe) {
        latencies.push_back(double(p->arrivalNs - start) / 1e6);
        break;
      }
    }
  }
  return summarise(latencies);
}

// How the kernel schedules the Art-Net sender's thread: real-time when the user may.
std::string senderScheduling() {
  DIR* tasks = ::opendir("/proc/self/task");
  std::string result = "sender thread not found";
  while (const dirent* e = tasks ? ::readdir(tasks) : nullptr) {
    std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
    std::string name;
    if (std::getline(comm, name) && name == "mirowen.artnet") {
      int policy = ::sched_getscheduler(std::atoi(e->d_name)) & ~SCHED_RESET_ON_FORK;
      result = policy == SCHED_FIFO ? "SCHED_FIFO" : policy == SCHED_OTHER ? "SCHED_OTHER" : "other";
    }
  }
  if (tasks) ::closedir(tasks);
  return result;
}

void print(const char* label, const Summary& s) {
  std::printf("%-44s n=%-5zu p50=%.3f ms  p99=%.3f ms  max=%.3f ms\n", label, s.n, s.p50, s.p99, s.max);
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
  const int samples = argc > 2 ? std::atoi(argv[2]) : 300;
  Node node;
  solvera::test::RunningServer server;
  const std::uint16_t port = server.port();
  std::printf("Art-Net node %s:6454, server on port %u, %d s per run, %u cores\n",
              node.address().c_str(), port, seconds, std::thread::hardware_concurrency());

  auto idle = tickDeviation(node, port, 1, seconds);
  std::printf("sender thread scheduling: %s\n", senderScheduling().c_str());
  print("idle: |interval - 50 ms|", idle);
  print("idle: POST /dmx to first packet", postToFirstPacket(node, port, samples));

  // One spinning thread keeps the other core busy for the second pair of runs.
  std::atomic<bool> spinning{true};
  std::thread spinner([&] {
    volatile std::uint64_t n = 0;
    while (spinning.load(std::memory_order_relaxed)) n = n + 1;
  });
  print("other core busy: |interval - 50 ms|", tickDeviation(node, port, 2, seconds));
  print("other core busy: POST /dmx to first packet", postToFirstPacket(node, port, samples));
  spinning = false;
  spinner.join();
  server.server().blackoutDmxOutputs();
  return 0;
}
