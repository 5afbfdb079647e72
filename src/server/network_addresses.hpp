// This machine's LAN addresses in order of preference, and the page addresses other devices open.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace solvera {

// One entry of the operating system's interface address list.
struct InterfaceAddress {
  std::string name;
  unsigned int flags = 0;                   // IFF_* bits
  std::optional<sockaddr_storage> address;  // none when the entry carries no address
};

// Where the addresses and interface facts come from; the defaults read this machine.
// The server's port, once it listens: the relays write it into the addresses they hand out.
using PortSource = std::function<std::uint16_t()>;

struct NetworkSources {
  // The interface address list; empty when it cannot be read. Unset: getifaddrs.
  std::function<std::vector<InterfaceAddress>()> interfaces;
  std::filesystem::path sysClassNet = "/sys/class/net";
  std::filesystem::path procNetRoute = "/proc/net/route";
};

// getifaddrs as a list; empty when the call fails.
std::vector<InterfaceAddress> systemInterfaceAddresses();

// Orders interface names the way a file manager orders file names: case-insensitive, with runs
// of digits compared as numbers (en2 before en10). Negative, zero or positive.
int compareInterfaceNames(const std::string& a, const std::string& b);

// "http://" + host + ":" + port + page + "?token=" + token.
std::string pageURL(const std::string& host, std::uint16_t port, const std::string& page,
                    const std::string& token);

// Nothing is cached: every call looks again, so a network change shows on the next request.
class NetworkAddresses {
 public:
  explicit NetworkAddresses(NetworkSources sources = {});

  // Distinct IPv4 addresses: Wi-Fi first, then the default-route interface, then by name.
  std::vector<std::string> localNetworkAddresses() const;
  std::optional<std::string> localNetworkAddress() const;
  // The Wi-Fi interface (one with a "wireless" or "phy80211" entry); an up one is preferred.
  std::optional<std::string> wifiInterfaceName() const;
  // The interface of the default route the kernel uses (lowest metric).
  std::optional<std::string> defaultRouteInterfaceName() const;

  // Page addresses for other devices, falling back to 127.0.0.1 without a LAN address.
  std::string remoteURL(std::uint16_t port, const std::string& remoteToken) const;
  std::string screenLightURL(std::uint16_t port, const std::string& screenLightToken) const;
  // One per LAN address, then always the loopback one.
  std::vector<std::string> screenLightURLs(std::uint16_t port,
                                           const std::string& screenLightToken) const;

 private:
  NetworkSources sources_;
};

}  // namespace solvera
