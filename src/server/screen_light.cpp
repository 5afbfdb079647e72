// Screen-light relay: the control page posts the light state, other screens poll it and report
// that they are alive; the state is passed on as posted, never interpreted.
#include "server/screen_light.hpp"

#include <utility>

#include "common/json.hpp"
#include "common/random.hpp"
#include "http/http.hpp"
#include "server/relay_json.hpp"

namespace solvera {

ScreenLight::ScreenLight(NetworkSources network, const Clock& clock, PortSource port)
    : network_(std::move(network)),
      clock_(clock),
      port_(std::move(port)),
      screenLightToken_(randomHexToken()) {}

ScreenLight::~ScreenLight() = default;

bool ScreenLight::screenLightAuthorized(const std::string& query) const {
  auto token = http::queryValue("token", query);
  return token && constantTimeEquals(*token, screenLightToken_);
}

std::optional<std::string> ScreenLight::handleScreenLight(const std::string& method,
                                                          const std::string& path,
                                                          const std::string& query,
                                                          const std::string& body) {
  const bool get = method == "GET";
  const bool post = method == "POST";
  const std::uint16_t port = port_();

  if (get && path == "/screen-light/info") {
    auto urls = network_.screenLightURLs(port, screenLightToken_);
    std::string first = urls.front();
    return http::jsonResponse(OrderedJson{
        {"ok", true},
        {"token", screenLightToken_},
        {"url", first},
        {"urls", urls},
        {"localUrl", pageURL("127.0.0.1", port, "/screen-light", screenLightToken_)}});
  }
  if (!path.starts_with("/screen-light/")) return std::nullopt;
  if (!screenLightAuthorized(query)) return relay::invalidToken();

  const double now = clock_.wallMs();
  if (get && path == "/screen-light/state") {
    screenLightClientLastSeenAt_ = now;
    return http::httpResponse("200 OK", "application/json",
                              programState_ ? *programState_ : screenLightStateData_);
  }
  if (get && path == "/screen-light/client-status") {
    // A page that never reported is not connected, whatever the clock says.
    bool connected = screenLightActiveClientLastSeenAt_ > 0 &&
                     now - screenLightActiveClientLastSeenAt_ <= screenLightClientTimeoutMs_;
    return http::jsonResponse(
        OrderedJson{{"ok", true},
                    {"connected", connected},
                    {"lastSeenAt", relay::msNumber(screenLightClientLastSeenAt_)},
                    {"activeLastSeenAt", relay::msNumber(screenLightActiveClientLastSeenAt_)},
                    {"now", relay::msNumber(now)}});
  }
  if (post && path == "/screen-light/client-active") {
    screenLightActiveClientLastSeenAt_ = now;
    return http::jsonResponse(OrderedJson{{"ok", true}});
  }
  if (post && path == "/screen-light/state") {
    if (!relay::isJsonDocument(body)) return relay::invalidJson();
    screenLightStateData_ = body;
    return http::jsonResponse(OrderedJson{{"ok", true}});
  }
  return std::nullopt;
}

}  // namespace solvera
