// The objects behind the server's routes, each holding its own state, and the program's usual
// set of them. Whoever assembles a server makes them and hands them in; the server only owns
// and dispatches to them (routes.cpp).
#pragma once

#include <cstdint>
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

class SerialQueue;
class DmxRoutes;
class AudioRoutes;
class RemoteControl;
class ScreenLight;
class CloudProxies;

// What a server gives the routes it is handed.
struct RouteContext {
  SerialQueue& queue;  // the server's queue: the proxies' answers arrive there
  PortSource port;     // the listener's port once bound
};

struct ServerRoutes {
  ServerRoutes();
  ServerRoutes(ServerRoutes&&) noexcept;
  ServerRoutes& operator=(ServerRoutes&&) noexcept;
  ~ServerRoutes();

  // Ended in the reverse order: the proxies first, the light outputs last.
  std::unique_ptr<DmxRoutes> dmx;
  std::unique_ptr<AudioRoutes> audio;
  std::unique_ptr<RemoteControl> remote;
  std::unique_ptr<ScreenLight> screenLight;
  std::unique_ptr<CloudProxies> cloud;
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
};

// Light outputs, SDL2 audio, the two relays (the remote counts a phone as connected for as
// long as the screen light counts a screen) and the cloud proxies.
RouteFactory standardRoutes(RouteSettings settings);

}  // namespace solvera
