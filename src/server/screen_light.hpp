// Screen-light relay under "/screen-light/" between the control page and other screens.
#pragma once

#include <optional>
#include <string>

#include "common/clock.hpp"
#include "server/network_addresses.hpp"

namespace solvera {

class ScreenLight {
 public:
  static constexpr double kClientTimeoutMs = 2500;
  // The state every screen shows until the control page posts its own or the program has
  // settings of its own.
  static constexpr std::string_view kDefaultState =
      R"({"ok":true,"updatedAt":0,"active":false,"frequencyHz":10,"pulseShape":"sine",)"
      R"("pulseMode":"sync","pulseEpochMs":0,"color":"#40c9ff","intensity":0,"language":"nl",)"
      R"("sessionTitle":"Solvera Pro","phase":"Stand-by"})";

  ScreenLight(NetworkSources network, const Clock& clock, PortSource port);
  ~ScreenLight();

  // A reply, or nothing when the request is not one of these endpoints.
  std::optional<std::string> handleScreenLight(const std::string& method, const std::string& path,
                                               const std::string& query, const std::string& body);

  const std::string& token() const { return screenLightToken_; }
  // How old a page's last report may be for it to count as connected (the remote shares it).
  double clientTimeoutMs() const { return screenLightClientTimeoutMs_; }
  // The program's own document while it has one (a session loaded, or settings of its own),
  // served in place of the posted one; nothing: the posted one again. On the server queue.
  void setProgramState(std::optional<std::string> document) { programState_ = std::move(document); }

 private:
  bool screenLightAuthorized(const std::string& query) const;

  NetworkAddresses network_;
  const Clock& clock_;
  PortSource port_;
  const std::string screenLightToken_;
  const double screenLightClientTimeoutMs_ = kClientTimeoutMs;
  // Only touched on the server queue.
  std::string screenLightStateData_{kDefaultState};
  std::optional<std::string> programState_;
  double screenLightClientLastSeenAt_ = 0;
  double screenLightActiveClientLastSeenAt_ = 0;
};

}  // namespace solvera
