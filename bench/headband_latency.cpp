// The bridge program end to end against the simulated headband on a private bus, at the
// headband's real pace: how long an EEG packet takes from its notification to the bridge's
// line on standard output, and how much of a core the whole bridge process uses.
#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "bridge/tests/simulated_bluez.hpp"
#include "common/main_thread.hpp"

namespace {

// User plus system CPU time of a process, in seconds.
double cpuSeconds(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string skip;
  for (int i = 0; i < 11; ++i) fields >> skip;  // state .. cmajflt
  long utime = 0, stime = 0;
  fields >> utime >> stime;
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
  char pattern[] = "/tmp/solvera-latency-XXXXXX";
  if (!::mkdtemp(pattern)) return 1;
  const std::filesystem::path dir = pattern;
  const std::string timing = (dir / "timing").string();
  {
    solvera::test::SimulatedBluez bluez({"--timing", timing});
    solvera::test::TestChild bridge({bluez.bridgeProgram()}, bluez.environment());
    auto streaming = bridge.waitForLine([](const std::string& l) {
      return l.find("\"status\":\"streaming\"") != std::string::npos;
    });
    if (!streaming) {
      std::fprintf(stderr, "the bridge did not start streaming\n");
      return 1;
    }
    const double cpuBefore = cpuSeconds(bridge.pid());
    const gint64 startUs = g_get_monotonic_time();
    solvera::mainthread::runUntil([] { return false; }, std::chrono::seconds(seconds));
    const double cpu = cpuSeconds(bridge.pid()) - cpuBefore;
    const double wall = static_cast<double>(g_get_monotonic_time() - startUs) / 1e6;

    std::map<long, std::int64_t> sentUs;  // sequence -> when its last electrode was sent
    std::ifstream in(timing);
    for (long sequence, ns; in >> sequence >> ns;) sentUs[sequence] = ns / 1000;
    std::vector<double> latenciesMs;
    for (std::size_t i = *streaming; i < bridge.lines().size(); ++i) {
      auto e = nlohmann::json::parse(bridge.lines()[i], nullptr, false);
      if (!e.is_object() || e.value("type", "") != "eeg") continue;
      auto sent = sentUs.find(e["sequence"].get<long>());
      if (sent == sentUs.end()) continue;
      latenciesMs.push_back(static_cast<double>(bridge.lineTimesUs()[i] - sent->second) / 1000.0);
    }
    std::sort(latenciesMs.begin(), latenciesMs.end());
    if (latenciesMs.empty()) {
      std::fprintf(stderr, "no EEG events matched\n");
      return 1;
    }
    auto at = [&](double q) {
      return latenciesMs[static_cast<std::size_t>(q * (latenciesMs.size() - 1))];
    };
    std::printf("events: %zu over %.1f s\n", latenciesMs.size(), wall);
    std::printf("notification to stdout: median %.2f ms, p95 %.2f ms, p99 %.2f ms, max %.2f ms\n",
                at(0.5), at(0.95), at(0.99), latenciesMs.back());
    std::printf("bridge process CPU: %.2f %% of one core (D-Bus, decoding, bands, output)\n",
                100.0 * cpu / wall);
    bridge.sendSignal(SIGTERM);
    bridge.waitForExit();
  }
  std::filesystem::remove_all(dir);
  return 0;
}
