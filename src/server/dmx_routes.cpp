// Light-frame routes over the three senders.
#include "server/dmx_routes.hpp"

#include <algorithm>

#include "common/error.hpp"
#include "common/json.hpp"
#include "server/http.hpp"
#include "server/static_server.hpp"

namespace solvera {
namespace {

// Letters, digits, dots and hyphens only: dotted addresses and names pass, a port suffix,
// spaces or an empty text do not.
bool plausibleTargetIp(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '.' || c == '-';
  });
}

std::string ok(std::string_view body) { return http::httpResponse("200 OK", "application/json", body); }

}  // namespace

DmxRoutes::DmxRoutes(StaticServer& server)
    : artNetSender_(*server.options().clock),
      enttecUsbProSender_(*server.options().clock),
      openDmxFtdiSender_(*server.options().clock) {}

DmxRoutes::~DmxRoutes() = default;

std::optional<std::string> DmxRoutes::handleDmx(const std::string& body) {
  std::string error;
  try {
    const dmx::DmxRequest request = dmx::decodeDmxRequest(body);
    const std::string mode = request.outputMode.value_or("");
    // The stops are queued before the send, whether or not the send then succeeds.
    if (mode == "enttec-usb-pro") {
      artNetSender_.stop();
      openDmxFtdiSender_.stop();
      enttecUsbProSender_.send(request);
      return ok(R"({"ok":true,"outputMode":"enttec-usb-pro"})");
    }
    if (mode == "open-dmx-ftdi") {
      artNetSender_.stop();
      enttecUsbProSender_.stop();
      openDmxFtdiSender_.send(request);
      return ok(R"({"ok":true,"outputMode":"open-dmx-ftdi"})");
    }
    enttecUsbProSender_.stop();
    openDmxFtdiSender_.stop();
    if (!plausibleTargetIp(request.targetIp)) throw ErrorException("Solvera", 400, "Invalid target IP");
    artNetSender_.send(request);
    return ok(R"({"ok":true,"outputMode":"artnet"})");
  } catch (const ErrorException& e) {
    error = e.error().message;
  } catch (const std::exception& e) {
    error = e.what();
  }
  OrderedJson reply;
  reply["ok"] = false;
  reply["error"] = error;
  reply["availablePorts"] = dmx::OpenDmxFtdiSender::availablePorts(std::nullopt);
  return http::jsonResponse(reply, "400 Bad Request");
}

std::optional<std::string> DmxRoutes::serialPortsResponse() {
  Json reply{{"ok", true}, {"ports", dmx::OpenDmxFtdiSender::availablePorts(std::nullopt)}};
  auto body = compactJson(reply);
  return ok(body ? *body : R"({"ok":false,"ports":[]})");
}

void DmxRoutes::blackoutDmxOutputs() {
  enttecUsbProSender_.blackoutAndStop();
  openDmxFtdiSender_.blackoutAndStop();
  artNetSender_.blackoutAndStop();
}

void DmxRoutes::stop() {
  enttecUsbProSender_.stop();
  openDmxFtdiSender_.stop();
  artNetSender_.stop();
}

}  // namespace solvera
