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
#include "server/player_relays.hpp"
#include "common/files.hpp"
#include "common/random.hpp"
#include "server/remote_control.hpp"
#include "server/render_routes.hpp"
#include "server/screen_light.hpp"
#include "server/session_routes.hpp"
#include "session/light_sink.hpp"
#include "session/session_player.hpp"
#include "session/settings.hpp"

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
    const std::string name = settings.appInfo.productDisplayName();
    auto player = settings.player;
    if (!player) {
      session::SessionPlayer::Options options;
      options.clock = settings.clock;
      options.audio = sdlAudioBackend(name);
      options.light = session::routerLightSink(router);
      player = std::make_shared<session::SessionPlayer>(std::move(options));
    }
    auto store = settings.settingsStore;
    if (!store) {
      store = std::make_shared<session::SettingsStore>(
          session::SettingsStore::defaultSettingsFile(name),
          session::SettingsStore::defaultOwnSessionsFile());
    }
    auto discovery = settings.artNetDiscovery ? settings.artNetDiscovery : std::make_shared<dmx::ArtNetDiscovery>();
    routes.dmx = std::make_unique<DmxRoutes>(std::move(router), std::move(discovery), context.queue);
    routes.audio = std::make_unique<AudioRoutes>(sdlAudioBackend(name));
    routes.session = std::make_unique<SessionRoutes>(
        SessionRoutes::Options{std::move(player), store,
                               context.root / "sessions" / "library.json", context.musicLibrary,
                               settings.clock});
    const std::filesystem::path library = context.root / "sessions" / "library.json";
    routes.render = std::make_unique<RenderRoutes>(RenderRoutes::Options{
        // A folder of this server's own: several programs may run at once (tests do).
        std::filesystem::temp_directory_path() / ("solvera-render-" + randomHexToken().substr(0, 12)),
        [library, store = store](const std::string& id) -> std::optional<session::Session> {
          std::optional<std::string> text = readWholeFile(library);
          session::SessionCheck found = session::sessionById(
              id, text ? session::parseSessionLibrary(*text) : std::vector<session::Session>{}, store->ownSessions());
          return found.session;
        },
        [session = routes.session.get()] { return session->settings(); }, context.musicLibrary});
    routes.screenLight =
        std::make_unique<ScreenLight>(settings.network, *settings.clock, context.port);
    routes.remote = std::make_unique<RemoteControl>(settings.network, *settings.clock, context.port,
                                                    routes.screenLight->clientTimeoutMs());
    routes.cloud = std::make_unique<CloudProxies>(settings.appInfo, context.queue.context());
    routes.relays = std::make_unique<PlayerRelays>(*routes.session, *routes.remote,
                                                   *routes.screenLight, context.queue,
                                                   *settings.clock);
    return routes;
  };
}

}  // namespace solvera
