// Light-frame routes: POST "/dmx", GET "/dmx/serial-ports" and the blackout at exit.
#pragma once

#include <optional>
#include <string>

namespace solvera {

class StaticServer;

class DmxRoutes {
 public:
  explicit DmxRoutes(StaticServer& server);
  ~DmxRoutes();

  // Nothing means "not a light request here": the route table goes on.
  std::optional<std::string> handleDmx(const std::string& body);
  std::optional<std::string> serialPortsResponse();
  void blackoutDmxOutputs();
  // Stops the Enttec, Open DMX and Art-Net outputs, in that order.
  void stop();

 private:
  [[maybe_unused]] StaticServer& server_;
};

}  // namespace solvera
