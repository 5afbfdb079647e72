// The objects behind the server's routes, each holding its own state, and the program's usual
// set of them. Whoever assembles a server makes them and hands them in; the server only owns
// and dispatches to them (routes.cpp).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>

#include "common/app_info.hpp"
#include "common/clock.hpp"
#include "server/network_addresses.hpp"

namespace solvera {
namespace dmx {
struct DmxOutputs;
class LightRouter;
class ArtNetDiscovery;
}
namespace session {
class SessionPlayer;
class SettingsStore;
}

class SerialQueue;
class DmxRoutes;
class AudioRoutes;
class RemoteControl;
class ScreenLight;
class CloudProxies;
class SessionRoutes;
class PlayerRelays;
class RenderRoutes;

// What a server gives the routes it is handed.
struct RouteContext {
  SerialQueue& queue;  // the server's queue: the proxies' answers arrive there
  PortSource port;     // the listener's port once bound
  std::filesystem::path root;          // the page folder (the session library is in it)
  std::filesystem::path musicLibrary;  // the installed music library
};

struct ServerRoutes {
  ServerRoutes();
  ServerRoutes(ServerRoutes&&) noexcept;
  ServerRoutes& operator=(ServerRoutes&&) noexcept;
  ~ServerRoutes();

  // Ended in the reverse order: the relays' feed and the proxies first, the light outputs last.
  std::unique_ptr<DmxRoutes> dmx;
  std::unique_ptr<AudioRoutes> audio;
  std::unique_ptr<SessionRoutes> session;
  std::unique_ptr<RemoteControl> remote;
  std::unique_ptr<ScreenLight> screenLight;
  std::unique_ptr<CloudProxies> cloud;
  std::unique_ptr<PlayerRelays> relays;  // feeds remote and screenLight from session
  std::unique_ptr<RenderRoutes> render;  // renders for download; ended first (stops its thread)
};

// Makes the routes once the server they serve exists.
using RouteFactory = std::function<ServerRoutes(const RouteContext&)>;

// What the program's routes are made of.
struct RouteSettings {
  AppInfo appInfo;                // the proxies' base addresses, the audio output's name
  Clock* clock = &systemClock();  // the relays' time; the light outputs' when made here
  NetworkSources network{};       // where the relays find the addresses for other devices
  // The light outputs; when none are given they are made on `clock`.
  std::shared_ptr<dmx::DmxOutputs> dmxOutputs{};
  // The one router of light requests, shared with whoever else lights the lamps (a player);
  // when none is given it is made over dmxOutputs.
  std::shared_ptr<dmx::LightRouter> lightRouter{};
  // How Art-Net nodes are looked for; when none is given, on this machine's networks.
  std::shared_ptr<dmx::ArtNetDiscovery> artNetDiscovery{};
  // The session player; when none is given it is made on `clock` over the light router and
  // the SDL2 output.
  std::shared_ptr<session::SessionPlayer> player{};
  // The program's settings and own sessions; when none are given, the person's files.
  std::shared_ptr<session::SettingsStore> settingsStore{};
};

// Light outputs, SDL2 audio, the session player with the settings, the two relays fed by it
// (the remote counts a phone as connected for as long as the screen light counts a screen)
// and the cloud proxies.
RouteFactory standardRoutes(RouteSettings settings);

}  // namespace solvera
