// Audio routes: the request table of the tone generator and its fixed replies.
#include "server/audio_routes.hpp"

#include "audio/audio_limits.hpp"
#include "audio/audio_request.hpp"
#include "common/error.hpp"
#include "common/json.hpp"
#include "http/http.hpp"

namespace solvera {
namespace {

std::string okReply() { return http::httpResponse("200 OK", "application/json", R"({"ok":true})"); }

std::string failedReply() {
  return http::httpResponse("500 Internal Server Error", "application/json", R"({"ok":false})");
}

}  // namespace

AudioRoutes::AudioRoutes(std::shared_ptr<AudioOutputBackend> backend)
    : backend_(backend), engine_(std::move(backend)) {}

AudioRoutes::~AudioRoutes() = default;

std::optional<std::string> AudioRoutes::handleAudio(const std::string& path,
                                                    const std::string& query,
                                                    const std::string& body) {
  if (path == "/audio/start") {
    try {
      engine_.start(AudioRequest::build(query, body));
    } catch (const ErrorException&) {
      return failedReply();  // no error text in this reply by design
    }
    return okReply();
  }
  if (path == "/audio/update") {
    try {
      AudioRequest request = AudioRequest::build(query, body);
      if (engine_.isRunning()) engine_.update(request);
    } catch (const ErrorException&) {
      return failedReply();
    }
    return okReply();
  }
  if (path == "/audio/stop") {
    engine_.stop();
    return okReply();
  }
  return http::httpResponse("404 Not Found", "application/json", R"({"ok":false})");
}

std::string AudioRoutes::limitsResponse() {
  auto range = [](ValueRange r) { return OrderedJson{{"min", r.min}, {"max", r.max}}; };
  OrderedJson reply;
  reply["ok"] = true;
  reply["beatHz"] = range(kBeatRangeHz);
  reply["carrierHz"] = range(kCarrierRangeHz);
  reply["volume"] = range(kVolumeRange);
  reply["balance"] = range(kBalanceRange);
  reply["gainDb"] = range(kEqualizerGainRangeDb);
  return http::jsonResponse(reply);
}

std::string AudioRoutes::devicesResponse() {
  Json devices = Json::array();
  for (const AudioDeviceInfo& device : backend_->devices()) {
    devices.push_back({{"name", device.name}, {"default", device.isDefault}});
  }
  const Json reply{{"ok", true}, {"devices", std::move(devices)}, {"driver", backend_->driver()}};
  // A name that is not valid text cannot be written; the list then says nothing rather than
  // something broken.
  const auto body = compactJson(reply);
  return http::httpResponse("200 OK", "application/json",
                            body ? *body : R"({"ok":true,"devices":[],"driver":""})");
}

void AudioRoutes::stop() { engine_.stop(); }

}  // namespace solvera
