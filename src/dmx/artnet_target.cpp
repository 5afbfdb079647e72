// Art-Net destination checks.
#include "dmx/artnet_target.hpp"

#include <arpa/inet.h>

#include <algorithm>

#include "common/error.hpp"

namespace solvera::dmx {

namespace {
constexpr std::uint16_t kArtNetPort = 6454;
}

bool plausibleTargetIp(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-';
  });
}

sockaddr_in artNetDestination(const std::string& targetIp) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kArtNetPort);
  if (::inet_pton(AF_INET, targetIp.c_str(), &address.sin_addr) != 1) {
    throw ErrorException("SolveraArtNet", 400, "Ongeldig Art-Net IP-adres.");
  }
  return address;
}

}  // namespace solvera::dmx
