// Light-frame routes. The light outputs are not wired in yet, so these requests fall through
// to the static lookup.
#include "server/dmx_routes.hpp"

namespace solvera {

DmxRoutes::DmxRoutes(StaticServer& server) : server_(server) {}
DmxRoutes::~DmxRoutes() = default;
std::optional<std::string> DmxRoutes::handleDmx(const std::string&) { return std::nullopt; }
std::optional<std::string> DmxRoutes::serialPortsResponse() { return std::nullopt; }
void DmxRoutes::blackoutDmxOutputs() {}
void DmxRoutes::stop() {}

}  // namespace solvera
