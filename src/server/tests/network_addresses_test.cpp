// LAN address order from injected interface lists and /sys, /proc fixtures, and on this machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "server/tests/relay_test_support.hpp"
#include "server/tests/test_client.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace network_addresses_test {

using namespace solvera;
using namespace solvera::test;

namespace {

using Addresses = std::vector<std::string>;

// A machine described by its interface list, its /sys/class/net and its /proc/net/route.
class Machine {
 public:
  Machine() { route("Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\n"); }

  void wifi(const std::string& name, const char* entry = "wireless", const char* state = "up") {
    std::filesystem::create_directories(dir.path() / "net" / name / entry);
    dir.write("net/" + name + "/operstate", std::string(state) + "\n");
  }
  void route(const std::string& text) { std::ofstream(dir.path() / "route", std::ios::app) << text; }
  // Destination, Flags, Metric, Mask as the kernel writes them.
  void route(const std::string& iface, const char* destination, const char* flags, int metric,
             const char* mask) {
    route(iface + "\t" + destination + "\t0101A8C0\t" + flags + "\t0\t0\t" +
          std::to_string(metric) + "\t" + mask + "\t0\t0\t0          \n");
  }

  NetworkAddresses addresses() const {
    return NetworkAddresses({[list = interfaces] { return list; }, dir.path() / "net",
                             dir.path() / "route"});
  }

  TempDir dir;
  std::vector<InterfaceAddress> interfaces;
};

}  // namespace

TEST(NetworkAddresses, WifiFirstThenDefaultRouteThenNumericAwareNames) {
  Machine m;
  m.wifi("wlp3s0");
  m.route("eth10", "00000000", "0003", 100, "00000000");
  m.interfaces = {ipv4("lo", "127.0.0.1", IFF_UP | IFF_LOOPBACK), ipv4("eth12", "10.0.12.1"),
                  ipv4("eth10", "10.0.10.1"), ipv4("eth9", "10.0.9.1"),
                  ipv4("wlp3s0", "192.168.1.20"), interfaceAddress("wlp3s0", AF_INET6, "fe80::1")};
  auto addresses = m.addresses();
  EXPECT_EQ(addresses.localNetworkAddresses(),
            (Addresses{"192.168.1.20", "10.0.10.1", "10.0.9.1", "10.0.12.1"}))
      << "Wi-Fi, then the default route (eth10), then eth9 before eth12";
  EXPECT_EQ(addresses.remoteURL(8765, "abc"), "http://192.168.1.20:8765/remote?token=abc");
  EXPECT_EQ(addresses.screenLightURL(8766, "d"), "http://192.168.1.20:8766/screen-light?token=d");
  EXPECT_EQ(addresses.screenLightURLs(1, "t"),
            (Addresses{"http://192.168.1.20:1/screen-light?token=t",
                       "http://10.0.10.1:1/screen-light?token=t",
                       "http://10.0.9.1:1/screen-light?token=t",
                       "http://10.0.12.1:1/screen-light?token=t",
                       "http://127.0.0.1:1/screen-light?token=t"}));

  m.interfaces = {ipv4("eth1", "10.0.0.9"), ipv4("eth0", "10.0.0.1"), ipv4("eth0", "10.0.0.2"),
                  ipv4("eth1", "10.0.0.1"), ipv4("wlp3s0", "10.0.0.9")};
  EXPECT_EQ(m.addresses().localNetworkAddresses(), (Addresses{"10.0.0.9", "10.0.0.1", "10.0.0.2"}))
      << "10.0.0.9 first through Wi-Fi; both of eth0 in the system's order; duplicates once";
}

TEST(NetworkAddresses, SkipsVirtualDownLoopbackLinkLocalAndNonIPv4Entries) {
  Machine m;
  m.interfaces = {
      ipv4("utun3", "10.8.0.2"),     ipv4("awdl0", "10.1.1.1"),  ipv4("llw0", "10.1.1.2"),
      ipv4("bridge100", "10.1.1.3"), ipv4("lo0", "10.1.1.4"),    ipv4("docker0", "172.17.0.1"),
      ipv4("veth12ab", "10.1.1.5"),  ipv4("virbr0", "10.1.1.6"), ipv4("br-3f2a", "172.18.0.1"),
      ipv4("eth0", "10.1.1.7", 0),  // down
      ipv4("eth1", "10.1.1.8", IFF_UP | IFF_LOOPBACK), ipv4("eth2", "169.254.10.20"),
      interfaceAddress("eth3", AF_INET6, "2001:db8::1"), {"eth4", IFF_UP, std::nullopt}};
  auto addresses = m.addresses();
  EXPECT_EQ(addresses.localNetworkAddresses(), Addresses{});
  EXPECT_EQ(addresses.remoteURL(8765, "t"), "http://127.0.0.1:8765/remote?token=t");
  EXPECT_EQ(addresses.screenLightURL(8765, "t"), "http://127.0.0.1:8765/screen-light?token=t");
  EXPECT_EQ(addresses.screenLightURLs(8765, "t"),
            Addresses{"http://127.0.0.1:8765/screen-light?token=t"});
}

TEST(NetworkAddresses, InterfaceNamesCompareNumericAware) {
  EXPECT_LT(compareInterfaceNames("en2", "en10"), 0);
  EXPECT_GT(compareInterfaceNames("en10", "en2"), 0);
  EXPECT_EQ(compareInterfaceNames("ETH01", "eth1"), 0) << "case and leading zeros";
  EXPECT_LT(compareInterfaceNames("en", "en0"), 0);
  EXPECT_LT(compareInterfaceNames("enp2s10", "enp10s2"), 0);
  EXPECT_LT(compareInterfaceNames("eth99999999999999999999", "eth100000000000000000000"), 0)
      << "digit runs longer than any integer";
}

TEST(NetworkAddresses, WifiFromSysClassNetAndDefaultRouteFromProcNetRoute) {
  Machine m;
  EXPECT_EQ(m.addresses().wifiInterfaceName(), std::nullopt) << "no /sys/class/net folder";
  EXPECT_EQ(m.addresses().defaultRouteInterfaceName(), std::nullopt) << "only the title line";

  m.wifi("wlan10", "phy80211");
  m.wifi("wlan2", "wireless", "down");
  std::filesystem::create_directories(m.dir.path() / "net" / "eth0");
  EXPECT_EQ(m.addresses().wifiInterfaceName(), "wlan10") << "an up adapter before a down one";
  m.wifi("wlan3");
  EXPECT_EQ(m.addresses().wifiInterfaceName(), "wlan3") << "the first up one by name";

  m.route("eth9", "0000A8C0", "0001", 0, "00FFFFFF");  // a network route
  m.route("eth8", "00000000", "0002", 0, "00000000");  // default, not up
  m.route("garbage line\n\n");
  EXPECT_EQ(m.addresses().defaultRouteInterfaceName(), std::nullopt);
  m.route("wlan0", "00000000", "0003", 600, "00000000");
  m.route("eth0", "00000000", "0003", 100, "00000000");
  m.route("eth1", "00000000", "0003", 100, "00000000");
  EXPECT_EQ(m.addresses().defaultRouteInterfaceName(), "eth0") << "lowest metric, first of equals";
}

TEST(NetworkAddresses, ThisMachineListsOnlyItsOwnNonLoopbackIPv4Addresses) {
  std::vector<std::string> own;
  for (const auto& entry : systemInterfaceAddresses()) {
    if (!entry.address || entry.address->ss_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&*entry.address)->sin_addr, text,
              sizeof text);
    own.push_back(text);
  }
  EXPECT_NE(std::find(own.begin(), own.end(), "127.0.0.1"), own.end()) << "getifaddrs read";
  for (const auto& address : NetworkAddresses().localNetworkAddresses()) {
    EXPECT_NE(std::find(own.begin(), own.end(), address), own.end()) << address;
    EXPECT_FALSE(address.starts_with("127.")) << address;
  }
}

}  // namespace network_addresses_test
