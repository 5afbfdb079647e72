// LAN address order from injected interface lists and /sys, /proc fixtures, and on this machine.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "server/network_addresses.hpp"
#include "server/tests/test_client.hpp"

using namespace solvera;
using solvera::test::TempDir;

namespace {

constexpr unsigned kUp = IFF_UP | IFF_RUNNING;

InterfaceAddress v4(const std::string& name, const std::string& dotted, unsigned flags = kUp) {
  sockaddr_in in{};
  in.sin_family = AF_INET;
  EXPECT_EQ(inet_pton(AF_INET, dotted.c_str(), &in.sin_addr), 1) << dotted;
  sockaddr_storage storage{};
  std::memcpy(&storage, &in, sizeof in);
  return {name, flags, storage};
}

InterfaceAddress v6(const std::string& name, const std::string& text) {
  sockaddr_in6 in{};
  in.sin6_family = AF_INET6;
  EXPECT_EQ(inet_pton(AF_INET6, text.c_str(), &in.sin6_addr), 1) << text;
  sockaddr_storage storage{};
  std::memcpy(&storage, &in, sizeof in);
  return {name, kUp, storage};
}

std::string routeLine(const std::string& iface, const char* destination, const char* flags,
                      int metric, const char* mask) {
  return iface + "\t" + destination + "\t0101A8C0\t" + flags + "\t0\t0\t" +
         std::to_string(metric) + "\t" + mask + "\t0\t0\t0                 \n";
}

// A machine described by its interface list, its /sys/class/net and its /proc/net/route.
class Machine {
 public:
  Machine() { dir.write("route", "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"); }

  void wifi(const std::string& name, const char* entry = "wireless", const char* state = "up") {
    std::filesystem::create_directories(dir.path() / "net" / name / entry);
    dir.write("net/" + name + "/operstate", std::string(state) + "\n");
  }
  void wired(const std::string& name) { dir.write("net/" + name + "/operstate", "up\n"); }
  void route(const std::string& line) {
    std::ofstream(dir.path() / "route", std::ios::app) << line;
  }
  void defaultRoute(const std::string& iface, int metric = 100) {
    route(routeLine(iface, "00000000", "0003", metric, "00000000"));
  }

  NetworkAddresses addresses() const {
    NetworkSources sources;
    sources.interfaces = [list = interfaces] { return list; };
    sources.sysClassNet = dir.path() / "net";
    sources.procNetRoute = dir.path() / "route";
    return NetworkAddresses(sources);
  }

  TempDir dir;
  std::vector<InterfaceAddress> interfaces;
};

using Addresses = std::vector<std::string>;

}  // namespace

TEST(NetworkAddresses, WifiFirstThenDefaultRouteThenNumericAwareNames) {
  Machine m;
  m.wifi("wlp3s0");
  m.wired("eth0");
  m.defaultRoute("eth0");
  m.interfaces = {v4("lo", "127.0.0.1", kUp | IFF_LOOPBACK), v4("eth10", "10.0.10.1"),
                  v4("eth0", "192.168.1.10"),  v4("eth2", "10.0.2.1"),
                  v4("wlp3s0", "192.168.1.20"), v6("wlp3s0", "fe80::1")};
  auto addresses = m.addresses();
  EXPECT_EQ(addresses.wifiInterfaceName(), "wlp3s0");
  EXPECT_EQ(addresses.defaultRouteInterfaceName(), "eth0");
  EXPECT_EQ(addresses.localNetworkAddresses(),
            (Addresses{"192.168.1.20", "192.168.1.10", "10.0.2.1", "10.0.10.1"}))
      << "Wi-Fi before the default route, then eth2 before eth10";
  EXPECT_EQ(addresses.localNetworkAddress(), "192.168.1.20");

  EXPECT_EQ(addresses.remoteURL(8765, "abc"), "http://192.168.1.20:8765/remote?token=abc");
  EXPECT_EQ(addresses.screenLightURL(8766, "def"),
            "http://192.168.1.20:8766/screen-light?token=def");
  EXPECT_EQ(addresses.screenLightURLs(8765, "t"),
            (Addresses{"http://192.168.1.20:8765/screen-light?token=t",
                       "http://192.168.1.10:8765/screen-light?token=t",
                       "http://10.0.2.1:8765/screen-light?token=t",
                       "http://10.0.10.1:8765/screen-light?token=t",
                       "http://127.0.0.1:8765/screen-light?token=t"}));
}

TEST(NetworkAddresses, DefaultRouteOrdersAheadOfNamesWithoutWifi) {
  Machine m;
  m.defaultRoute("enp10s0");
  m.interfaces = {v4("enp2s0", "10.0.0.2"), v4("enp10s0", "10.0.0.10")};
  EXPECT_EQ(m.addresses().wifiInterfaceName(), std::nullopt) << "no /sys/class/net folder";
  EXPECT_EQ(m.addresses().localNetworkAddresses(), (Addresses{"10.0.0.10", "10.0.0.2"}));
}

TEST(NetworkAddresses, SkipsVirtualDownLoopbackLinkLocalAndNonIPv4Entries) {
  Machine m;
  m.interfaces = {
      v4("utun3", "10.8.0.2"),      v4("awdl0", "10.1.1.1"),   v4("llw0", "10.1.1.2"),
      v4("bridge100", "10.1.1.3"),  v4("lo0", "10.1.1.4"),     v4("docker0", "172.17.0.1"),
      v4("veth12ab", "10.1.1.5"),   v4("virbr0", "192.168.122.1"), v4("br-3f2a", "172.18.0.1"),
      v4("eth0", "10.1.1.6", 0),    // down
      v4("eth1", "10.1.1.7", kUp | IFF_LOOPBACK),
      v4("eth2", "169.254.10.20"),  // link-local
      v6("eth3", "2001:db8::1"),    // IPv6 only
      {"eth4", kUp, std::nullopt},  // no address at all
  };
  auto addresses = m.addresses();
  EXPECT_EQ(addresses.localNetworkAddresses(), Addresses{});
  EXPECT_EQ(addresses.localNetworkAddress(), std::nullopt);
  EXPECT_EQ(addresses.remoteURL(8765, "t"), "http://127.0.0.1:8765/remote?token=t");
  EXPECT_EQ(addresses.screenLightURL(8765, "t"), "http://127.0.0.1:8765/screen-light?token=t");
  EXPECT_EQ(addresses.screenLightURLs(8765, "t"),
            Addresses{"http://127.0.0.1:8765/screen-light?token=t"});

  m.interfaces = {};
  EXPECT_EQ(m.addresses().screenLightURLs(1, "t"),
            Addresses{"http://127.0.0.1:1/screen-light?token=t"})
      << "an empty interface list";
}

TEST(NetworkAddresses, BothAddressesOfAnInterfaceAndEachAddressOnce) {
  Machine m;
  m.wifi("wlan0");
  m.interfaces = {v4("eth1", "10.0.0.9"), v4("eth0", "10.0.0.1"), v4("eth0", "10.0.0.2"),
                  v4("eth1", "10.0.0.1"), v4("wlan0", "10.0.0.9")};
  EXPECT_EQ(m.addresses().localNetworkAddresses(), (Addresses{"10.0.0.9", "10.0.0.1", "10.0.0.2"}))
      << "10.0.0.9 sorts first through Wi-Fi; eth0 keeps its own order; duplicates dropped";
}

TEST(NetworkAddresses, InterfaceNamesCompareNumericAware) {
  EXPECT_LT(compareInterfaceNames("en2", "en10"), 0);
  EXPECT_GT(compareInterfaceNames("en10", "en2"), 0);
  EXPECT_LT(compareInterfaceNames("eth1", "wlan0"), 0);
  EXPECT_EQ(compareInterfaceNames("ETH1", "eth1"), 0) << "case-insensitive";
  EXPECT_EQ(compareInterfaceNames("en02", "en2"), 0) << "leading zeros";
  EXPECT_LT(compareInterfaceNames("en", "en0"), 0) << "a prefix first";
  EXPECT_LT(compareInterfaceNames("enp2s10", "enp10s2"), 0);
  EXPECT_LT(compareInterfaceNames("enp2s2", "enp2s10"), 0);
  EXPECT_LT(compareInterfaceNames("eth99999999999999999999", "eth100000000000000000000"), 0)
      << "digit runs longer than any integer";
}

TEST(NetworkAddresses, WifiFromSysClassNet) {
  Machine m;
  m.wired("eth0");
  m.wifi("wlan10", "phy80211");
  m.wifi("wlan2", "wireless", "down");
  EXPECT_EQ(m.addresses().wifiInterfaceName(), "wlan10") << "an up adapter before a down one";
  m.wifi("wlan1", "phy80211", "dormant");
  m.wifi("wlan3", "wireless", "up");
  EXPECT_EQ(m.addresses().wifiInterfaceName(), "wlan3") << "the first up one by name";

  Machine down;
  down.wifi("wlan1", "wireless", "down");
  down.wifi("wlan0", "phy80211", "down");
  EXPECT_EQ(down.addresses().wifiInterfaceName(), "wlan0") << "none up: the first by name";
}

TEST(NetworkAddresses, DefaultRouteFromProcNetRoute) {
  Machine m;
  EXPECT_EQ(m.addresses().defaultRouteInterfaceName(), std::nullopt) << "only the title line";
  m.route(routeLine("eth9", "0000A8C0", "0001", 0, "00FFFFFF"));   // a network route
  m.route(routeLine("eth8", "00000000", "0002", 0, "00000000"));   // default, not up
  m.route(routeLine("eth7", "00000000", "0003", 5, "0000FFFF"));   // mask not zero
  m.route("garbage line\n\n");
  EXPECT_EQ(m.addresses().defaultRouteInterfaceName(), std::nullopt);
  m.defaultRoute("wlan0", 600);
  m.defaultRoute("eth0", 100);
  m.defaultRoute("eth1", 100);
  EXPECT_EQ(m.addresses().defaultRouteInterfaceName(), "eth0")
      << "the lowest metric, the first of equals";

  NetworkSources missing;
  missing.interfaces = [] { return std::vector<InterfaceAddress>{}; };
  missing.procNetRoute = m.dir.path() / "no-such-file";
  missing.sysClassNet = m.dir.path() / "no-such-folder";
  NetworkAddresses none(missing);
  EXPECT_EQ(none.defaultRouteInterfaceName(), std::nullopt);
  EXPECT_EQ(none.wifiInterfaceName(), std::nullopt);
}

TEST(NetworkAddresses, ThisMachineListsOnlyItsOwnNonLoopbackIPv4Addresses) {
  auto system = systemInterfaceAddresses();
  ASSERT_FALSE(system.empty()) << "getifaddrs lists at least the loopback interface";
  std::vector<std::string> own;
  for (const auto& entry : system) {
    if (!entry.address || entry.address->ss_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&*entry.address)->sin_addr, text,
              sizeof text);
    own.push_back(text);
  }
  EXPECT_NE(std::find(own.begin(), own.end(), "127.0.0.1"), own.end());
  for (const auto& address : NetworkAddresses().localNetworkAddresses()) {
    EXPECT_NE(std::find(own.begin(), own.end(), address), own.end()) << address;
    EXPECT_FALSE(address.starts_with("127.")) << address;
  }
}
