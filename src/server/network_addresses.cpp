// LAN addresses from the interface list, Wi-Fi from /sys/class/net, the default route from
// /proc/net/route: read directly, without child processes.
#include "server/network_addresses.hpp"

#include <ifaddrs.h>
#include <net/if.h>
#include <net/route.h>
#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <cstring>
#include <fstream>
#include <sstream>

namespace solvera {
namespace fs = std::filesystem;

namespace {

// Tunnels, Apple's peer-to-peer links, bridges, loopback and Linux's container and VM plumbing:
// no phone can reach the machine through them.
constexpr std::array<std::string_view, 9> kSkippedPrefixes = {
    "lo", "awdl", "llw", "utun", "bridge", "docker", "veth", "virbr", "br-"};

bool skippedName(const std::string& name) {
  return std::any_of(kSkippedPrefixes.begin(), kSkippedPrefixes.end(),
                     [&](std::string_view prefix) { return name.starts_with(prefix); });
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::optional<std::string> numericHost(const sockaddr_storage& address) {
  std::array<char, NI_MAXHOST> host{};  // 1025 bytes
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof(sockaddr_in), host.data(),
                  host.size(), nullptr, 0, NI_NUMERICHOST) != 0) {
    return std::nullopt;
  }
  return std::string(host.data());
}

std::optional<std::string> readFirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) return std::nullopt;
  return line;
}

template <typename T>
bool parseWhole(std::string_view text, T& out, int base) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out, base);
  return ec == std::errc() && end == text.data() + text.size();
}

std::vector<std::string> fields(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  for (std::string field; in >> field;) out.push_back(field);
  return out;
}

}  // namespace

std::vector<InterfaceAddress> systemInterfaceAddresses() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return {};
  std::vector<InterfaceAddress> out;
  for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    InterfaceAddress item;
    item.name = entry->ifa_name ? entry->ifa_name : "";
    item.flags = entry->ifa_flags;
    if (entry->ifa_addr) {
      sockaddr_storage storage{};
      std::size_t size = entry->ifa_addr->sa_family == AF_INET    ? sizeof(sockaddr_in)
                         : entry->ifa_addr->sa_family == AF_INET6 ? sizeof(sockaddr_in6)
                                                                  : sizeof(sockaddr);
      std::memcpy(&storage, entry->ifa_addr, size);
      item.address = storage;
    }
    out.push_back(std::move(item));
  }
  freeifaddrs(list);
  return out;
}

int compareInterfaceNames(const std::string& a, const std::string& b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (isDigit(a[i]) && isDigit(b[j])) {
      std::size_t endA = i, endB = j;
      while (endA < a.size() && isDigit(a[endA])) ++endA;
      while (endB < b.size() && isDigit(b[endB])) ++endB;
      while (i + 1 < endA && a[i] == '0') ++i;  // leading zeros do not make a number larger
      while (j + 1 < endB && b[j] == '0') ++j;
      std::string_view runA(a.data() + i, endA - i), runB(b.data() + j, endB - j);
      if (runA.size() != runB.size()) return runA.size() < runB.size() ? -1 : 1;
      if (int c = runA.compare(runB); c != 0) return c < 0 ? -1 : 1;
      i = endA;
      j = endB;
      continue;
    }
    char ca = lower(a[i]), cb = lower(b[j]);
    if (ca != cb) return ca < cb ? -1 : 1;
    ++i;
    ++j;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

std::string pageURL(const std::string& host, std::uint16_t port, const std::string& page,
                    const std::string& token) {
  return "http://" + host + ":" + std::to_string(port) + page + "?token=" + token;
}

NetworkAddresses::NetworkAddresses(NetworkSources sources) : sources_(std::move(sources)) {
  if (!sources_.interfaces) sources_.interfaces = systemInterfaceAddresses;
}

std::vector<std::string> NetworkAddresses::localNetworkAddresses() const {
  const auto wifi = wifiInterfaceName();
  const auto defaultRoute = defaultRouteInterfaceName();

  struct Candidate {
    std::string address;
    std::string interface;
  };
  std::vector<Candidate> candidates;
  for (const InterfaceAddress& entry : sources_.interfaces()) {
    if (skippedName(entry.name)) continue;
    if (!(entry.flags & IFF_UP) || (entry.flags & IFF_LOOPBACK)) continue;
    if (!entry.address || entry.address->ss_family != AF_INET) continue;
    auto host = numericHost(*entry.address);
    if (!host || host->starts_with("169.254.")) continue;  // link-local: not routable
    candidates.push_back({std::move(*host), entry.name});
  }

  // Stable, so the addresses of one interface keep the system's order.
  std::stable_sort(candidates.begin(), candidates.end(),
                   [&](const Candidate& x, const Candidate& y) {
                     bool xWifi = wifi && x.interface == *wifi, yWifi = wifi && y.interface == *wifi;
                     if (xWifi != yWifi) return xWifi;
                     bool xRoute = defaultRoute && x.interface == *defaultRoute;
                     bool yRoute = defaultRoute && y.interface == *defaultRoute;
                     if (xRoute != yRoute) return xRoute;
                     return compareInterfaceNames(x.interface, y.interface) < 0;
                   });

  std::vector<std::string> out;
  for (auto& candidate : candidates) {
    if (std::find(out.begin(), out.end(), candidate.address) == out.end()) {
      out.push_back(std::move(candidate.address));
    }
  }
  return out;
}

std::optional<std::string> NetworkAddresses::localNetworkAddress() const {
  auto all = localNetworkAddresses();
  if (all.empty()) return std::nullopt;
  return std::move(all.front());
}

std::optional<std::string> NetworkAddresses::wifiInterfaceName() const {
  std::vector<std::string> wireless;
  std::error_code ec;
  for (fs::directory_iterator it(sources_.sysClassNet, ec), end; !ec && it != end;
       it.increment(ec)) {
    const fs::path& dir = it->path();
    std::error_code ignored;
    if (fs::exists(dir / "wireless", ignored) || fs::exists(dir / "phy80211", ignored)) {
      wireless.push_back(dir.filename().string());
    }
  }
  if (wireless.empty()) return std::nullopt;
  std::sort(wireless.begin(), wireless.end(), [](const std::string& x, const std::string& y) {
    int c = compareInterfaceNames(x, y);
    return c != 0 ? c < 0 : x < y;
  });
  // A second adapter that is switched off must not hide the one in use.
  for (const auto& name : wireless) {
    if (readFirstLine(sources_.sysClassNet / name / "operstate") == "up") return name;
  }
  return wireless.front();
}

std::optional<std::string> NetworkAddresses::defaultRouteInterfaceName() const {
  std::ifstream in(sources_.procNetRoute);
  std::optional<std::string> best;
  unsigned long bestMetric = ULONG_MAX;
  std::string line;
  // Iface Destination Gateway Flags RefCnt Use Metric Mask ...; the title line fails to parse.
  while (std::getline(in, line)) {
    auto f = fields(line);
    if (f.size() < 8) continue;
    std::uint32_t destination = 0, mask = 0;
    unsigned int flags = 0;
    unsigned long metric = 0;
    if (!parseWhole(f[1], destination, 16) || !parseWhole(f[3], flags, 16) ||
        !parseWhole(f[6], metric, 10) || !parseWhole(f[7], mask, 16)) {
      continue;
    }
    if (destination != 0 || mask != 0 || !(flags & RTF_UP)) continue;
    // The kernel uses the default route with the lowest metric.
    if (!best || metric < bestMetric) {
      best = f[0];
      bestMetric = metric;
    }
  }
  return best;
}

std::string NetworkAddresses::remoteURL(std::uint16_t port, const std::string& remoteToken) const {
  return pageURL(localNetworkAddress().value_or("127.0.0.1"), port, "/remote", remoteToken);
}

std::string NetworkAddresses::screenLightURL(std::uint16_t port,
                                             const std::string& screenLightToken) const {
  return pageURL(localNetworkAddress().value_or("127.0.0.1"), port, "/screen-light",
                 screenLightToken);
}

std::vector<std::string> NetworkAddresses::screenLightURLs(
    std::uint16_t port, const std::string& screenLightToken) const {
  std::vector<std::string> urls;
  for (const auto& address : localNetworkAddresses()) {
    urls.push_back(pageURL(address, port, "/screen-light", screenLightToken));
  }
  urls.push_back(pageURL("127.0.0.1", port, "/screen-light", screenLightToken));
  return urls;
}

}  // namespace solvera
