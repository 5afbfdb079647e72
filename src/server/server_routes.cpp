// The program's usual routes, each given what it needs.
#include "server/server_routes.hpp"

#include <utility>

#include "common/serial_queue.hpp"
#include "dmx/artnet_discovery.hpp"
#include "dmx/dmx_outputs.hpp"
#include "dmx/light_router.hpp"
#include "server/audio_routes.hpp"
#include "server/cloud_routes.hpp"
#include "server/dmx_routes.hpp"
#include "server/remote_control.hpp"
#include "server/screen_light.hpp"

namespace solvera {

ServerRoutes::ServerRoutes() = default;
ServerRoutes::ServerRoutes(ServerRoutes&&) noexcept = default;
ServerRoutes& ServerRoutes::operator=(ServerRoutes&&) noexcept = default;
ServerRoutes::~ServerRoutes() = default;

RouteFactory standardRoutes(RouteSettings settings) {
  return [settings = std::move(settings)](const RouteContext& context) {
    ServerRoutes routes;
    auto router = settings.lightRouter;
    if (!router) {
      router = std::make_shared<dmx::LightRouter>(
          settings.dmxOutputs ? settings.dmxOutputs : std::make_shared<dmx::DmxOutputs>(*settings.clock));
    }
    auto discovery = settings.artNetDiscovery ? settings.artNetDiscovery : std::make_shared<dmx::ArtNetDiscovery>();
    routes.dmx = std::make_unique<DmxRoutes>(std::move(router), std::move(discovery), context.queue);
    routes.audio =
        std::make_unique<AudioRoutes>(sdlAudioBackend(settings.appInfo.productDisplayName()));
    routes.screenLight =
        std::make_unique<ScreenLight>(settings.network, *settings.clock, context.port);
    routes.remote = std::make_unique<RemoteControl>(settings.network, *settings.clock, context.port,
                                                    routes.screenLight->clientTimeoutMs());
    routes.cloud = std::make_unique<CloudProxies>(settings.appInfo, context.queue.context());
    return routes;
  };
}

}  // namespace solvera
