// The application's own HTTP/1.1 server: one request per connection, on one serial queue.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/error.hpp"
#include "common/serial_queue.hpp"
#include "http/http.hpp"
#include "server/network_addresses.hpp"
#include "server/route_table.hpp"
#include "server/server_routes.hpp"

namespace solvera {

class ConnectionTable;

// Who sent a request: loopback clients are this machine's own pages and tools.
struct Peer {
  std::string address;  // IPv4 in dotted form (mapped addresses unwrapped), or IPv6
  bool loopback = true;
};

// What one connection may take of the server; the defaults are the program's.
struct ConnectionLimits {
  std::chrono::milliseconds headTimeout{10000};       // from accept to the head's end
  std::chrono::milliseconds requestTimeout{30000};    // from accept to the last body byte
  std::chrono::milliseconds writeIdleTimeout{30000};  // a reader that takes nothing for this long
  // An event stream with nothing to say for this long sends a comment, so that proxies and
  // clients see it alive.
  std::chrono::milliseconds keepAliveInterval{15000};
  std::size_t maxConnections = 256;
  std::size_t maxConnectionsPerPeer = 32;  // for peers other than loopback
  // Loopback connections beyond maxConnections when no idle one can make room; with the
  // limits above this stays far below the usual 1,024 descriptors.
  std::size_t loopbackReserve = 256;
};

class StaticServer : public std::enable_shared_from_this<StaticServer> {
 public:
  static constexpr std::int64_t kMaxRequestBytes = http::kMaxRequestBytes;
  static constexpr std::uint16_t kDefaultPort = 8765;
  static constexpr int kPortCandidates = 20;

  struct Options {
    std::filesystem::path rootURL;
    std::filesystem::path musicLibraryURL;
    std::uint16_t preferredPort = kDefaultPort;
    NetworkSources network{};  // where the control page's LAN address comes from
    ConnectionLimits limits{};
  };

  // A reply, given at once or, for the proxies, later on the queue.
  using Responder = std::function<void(http::Response)>;
  // Clients other than loopback send it in this header to reach the control endpoints.
  static constexpr const char* kControlTokenHeader = "x-solvera-control-token";

  // makeRoutes is called once, while the server is made, with the server's queue and port.
  static std::shared_ptr<StaticServer> create(Options options, const RouteFactory& makeRoutes);
  ~StaticServer();

  // Creates the listener on the first of twenty candidate ports and starts it on the queue;
  // throws ErrorException when no listener could be created. Both callbacks arrive on the
  // main thread.
  void start(std::function<void()> onReady, std::function<void(const Error&)> onFailure);
  // Cancels the listener, then stops the audio engine and the light outputs. Any state.
  void stop();
  // Asks every light output to send black and stop; returns at once.
  void blackoutDmxOutputs();

  std::uint16_t port() const { return port_.load(); }
  const Options& options() const { return options_; }
  SerialQueue& queue() { return queue_; }

  // One complete reply for one request's bytes, handed to done exactly once (at once, or later
  // for a proxy): the guard, the control token, then the route table. Runs on the queue.
  void respond(std::string_view requestBytes, const Peer& peer, Responder done);
  // The same for a loopback client, when the reply comes at once; empty when it comes later.
  std::string response(std::string_view requestBytes);
  http::Response staticResponse(std::string_view path) const;

  // The token that lets clients other than loopback use the control endpoints.
  const std::string& controlToken() const { return controlToken_; }
  // The control page's address for other devices, with the token ("http://<lan>:<port>/?token=").
  std::string controlURL() const;

  DmxRoutes& dmx() { return *routes_.dmx; }
  AudioRoutes& audio() { return *routes_.audio; }
  RemoteControl& remote() { return *routes_.remote; }
  ScreenLight& screenLight() { return *routes_.screenLight; }
  CloudProxies& cloud() { return *routes_.cloud; }
  SessionRoutes& session() { return *routes_.session; }

 private:
  StaticServer(Options options, const RouteFactory& makeRoutes);
  void listen(std::function<void()> onReady, std::function<void(const Error&)> onFailure);
  void acceptNext();
  void acceptAtDescriptorLimit();
  bool controlAuthorized(const http::RequestInfo& request, const Peer& peer) const;
  using Table = RouteTable<Responder>;
  // Every route, in the order it is tried (routes.cpp).
  Table makeTable();
  // The player's commands under "/session/"; nothing for another path there.
  std::optional<std::string> sessionCommand(const std::string& path, const std::string& body);

  Options options_;
  std::atomic<std::uint16_t> port_;  // 0 asks the system for a free port (tests)
  std::string machineHostName_;
  const std::string controlToken_;
  int spareDescriptor_ = -1;  // given up to accept (and close) a connection at the limit
  SerialQueue queue_;  // declared before everything that lives on it
  std::shared_ptr<ConnectionTable> connections_;
  struct Listener;  // the acceptor and its address: Asio stays in the server's own file
  std::unique_ptr<Listener> listener_;
  ServerRoutes routes_;
  Table table_;  // after the route objects it calls
};

}  // namespace solvera
