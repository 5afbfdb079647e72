// Start-up cost of the desktop program: time from process start to the ready line and to the
// control page's load event, and the memory of the program with its web view processes.
// Runs under its own virtual display and session bus: desktop_startup [runs] [PUBLIC_DIR];
// SOLVERA_STARTUP_EXECUTABLE names another build of the program to measure.
// With PUBLIC_DIR (the source tree's public/) the real control page is loaded, with one
// script added that reports its load event; without it, a page of one heading.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>

#include "platform/tests/desktop_session.hpp"
#include "common/json.hpp"
#include "server/tests/test_client.hpp"

using namespace solvera;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

namespace {

constexpr const char* kPage = R"(<!doctype html><html><head><meta charset="utf-8"></head>
<body><h1>Start</h1><script>
window.addEventListener("load", () => fetch("http://127.0.0.1:RECORDER/",
    {method: "POST", mode: "no-cors", body: JSON.stringify({kind: "loaded"})}));
</script></body></html>)";

// Reports the real page's load event (every module it imports has run by then), with the
// page's own timing: when its document arrived, how many files it fetched and when the last
// one arrived, and when its scripts had run.
constexpr const char* kLoadReporter = R"(<script>
window.addEventListener("load", () => {
  const nav = performance.getEntriesByType("navigation")[0] || {};
  const files = performance.getEntriesByType("resource");
  const lastFile = Math.max(0, ...files.map((f) => f.responseEnd));
  fetch("http://127.0.0.1:RECORDER/", {method: "POST", mode: "no-cors", body: JSON.stringify({
    kind: "loaded", origin: performance.timeOrigin, document: nav.responseEnd, files: files.length, lastFile,
    scriptsRun: nav.domContentLoadedEventEnd, load: nav.loadEventStart})});
});
</script>
</body>)";

// Resident and proportional set sizes in KiB of a process, from smaps_rollup.
std::pair<long, long> memoryOf(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
  long rss = 0, pss = 0;
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string name;
    long value = 0;
    fields >> name >> value;
    if (name == "Rss:") rss = value;
    if (name == "Pss:") pss = value;
  }
  return {rss, pss};
}

// Processor time in milliseconds a process has used, its reaped children included.
double cpuMsOf(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  double ticks = 0;
  // Fields 14 to 17 (utime, stime, cutime, cstime), counted from the state, field 3.
  for (int number = 3; number <= 17 && rest >> field; ++number) {
    if (number >= 14) ticks += std::stod(field);
  }
  return ticks * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The process and all its descendants, with their command names.
std::map<int, std::string> familyOf(int root) {
  std::map<int, int> parents;
  std::map<int, std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    auto open = text.find('('), close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    std::istringstream rest(text.substr(close + 2));
    char state;
    int parent = 0;
    rest >> state >> parent;
    parents[std::stoi(name)] = parent;
    names[std::stoi(name)] = text.substr(open + 1, close - open - 1);
  }
  std::map<int, std::string> family{{root, names[root]}};
  for (bool grew = true; grew;) {
    grew = false;
    for (const auto& [pid, parent] : parents) {
      if (family.count(parent) && !family.count(pid)) {
        family[pid] = names[pid];
        grew = true;
      }
    }
  }
  return family;
}

std::uint16_t freePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

double ms(Steady::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  std::optional<std::filesystem::path> publicDir;
  if (argc > 2) publicDir = argv[2];
  // Another build of the program, for before-and-after figures on the same machine.
  const char* executable = std::getenv("SOLVERA_STARTUP_EXECUTABLE");
  if (!executable) executable = SOLVERA_EXECUTABLE;
  test::VirtualDisplay display;
  test::SessionBus bus;
  if (!display.ok() || !bus.ok()) {
    std::cerr << "desktop_startup: needs Xvfb and dbus-daemon\n";
    return 1;
  }
  test::TempDir dir;
  // Processor time of the program and its web processes until the page loaded: unlike the
  // wall-clock figures it hardly depends on what else the machine is doing.
  std::vector<double> ready, loaded, cpuUsed;
  long lastRss = 0, lastPss = 0;
  std::map<std::string, std::pair<long, long>> lastByName;
  for (int run = 0; run < runs; ++run) {
    test::Recorder recorder;
    std::string page = kPage;
    if (publicDir) {
      std::filesystem::remove_all(dir.path() / "resources" / "public");
      std::filesystem::create_directories(dir.path() / "resources");
      std::filesystem::copy(*publicDir, dir.path() / "resources" / "public",
                            std::filesystem::copy_options::recursive);
      std::ifstream in(*publicDir / "index.html");
      page.assign(std::istreambuf_iterator<char>(in), {});
      page.replace(page.rfind("</body>"), 7, kLoadReporter);
    }
    page.replace(page.find("RECORDER"), 8, std::to_string(recorder.port()));
    dir.write("resources/public/index.html", page);
    dir.write("resources/Info.json", "{}");
    auto root = dir.path();
    auto environment = test::environmentWith({
        {"DISPLAY", display.name()},
        {"WAYLAND_DISPLAY", ""},
        {"DBUS_SESSION_BUS_ADDRESS", bus.address()},
        {"GTK_A11Y", "none"},
        {"GSETTINGS_BACKEND", "memory"},
        {"XDG_CONFIG_HOME", (root / "config").string()},
        {"XDG_DATA_HOME", (root / "data").string()},
        {"XDG_STATE_HOME", (root / "state").string()},
        {"XDG_CACHE_HOME", (root / "cache").string()},
    });
    auto start = Steady::now();
    const double startedAtMs = std::chrono::duration<double, std::milli>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count();
    test::Child program({executable, "--port", std::to_string(freePort()), "--resources",
                         (root / "resources").string()},
                        environment);
    if (!program.readLine(60s)) {
      std::cerr << "desktop_startup: no ready line\n";
      return 1;
    }
    auto readyAt = Steady::now();
    if (!recorder.waitFor([](const auto& records) { return !records.empty(); }, 60s)) {
      std::cerr << "desktop_startup: the page did not load\n";
      return 1;
    }
    auto loadedAt = Steady::now();
    ready.push_back(ms(readyAt - start));
    loaded.push_back(ms(loadedAt - start));
    lastRss = lastPss = 0;
    lastByName.clear();
    double cpu = 0;
    for (const auto& [pid, name] : familyOf(program.pid())) {
      cpu += cpuMsOf(pid);
      auto [rss, pss] = memoryOf(pid);
      lastRss += rss;
      lastPss += pss;
      lastByName[name].first += rss;
      lastByName[name].second += pss;
    }
    program.signal(SIGTERM);
    program.wait(30s);
    cpuUsed.push_back(cpu);
    std::printf("run %d: ready %.0f ms, page loaded %.0f ms, processor time %.0f ms%s\n", run + 1,
                ready.back(), loaded.back(), cpu, run == 0 ? " (first run: cold caches)" : "");
    if (publicDir) {
      // Milliseconds from the page's own navigation start.
      const Json page = recorder.records().front();
      auto at = [&](const char* key) {
        return page.is_object() && page.contains(key) && page[key].is_number()
                   ? page[key].get<double>()
                   : 0.0;
      };
      // The page's clock starts when its web process begins the navigation.
      const double navigation = at("origin") - startedAtMs;
      std::printf(
          "  navigation began at %.0f ms; from there: document %.0f, %.0f files (last "
          "%.0f), scripts run %.0f, load %.0f\n",
          navigation, at("document"), at("files"), at("lastFile"), at("scriptsRun"), at("load"));
    }
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  std::printf("median of %d runs: ready %.0f ms, page loaded %.0f ms, processor time %.0f ms\n",
              runs, median(ready), median(loaded), median(cpuUsed));
  std::printf("memory after load (last run): RSS %ld MiB, PSS %ld MiB\n", lastRss / 1024,
              lastPss / 1024);
  for (const auto& [name, sizes] : lastByName) {
    std::printf("  %-18s RSS %5ld MiB  PSS %5ld MiB\n", name.c_str(), sizes.first / 1024,
                sizes.second / 1024);
  }
  return 0;
}
