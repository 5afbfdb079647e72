// What one connection may take of the server: time-outs, the connection cap, streamed files,
// and the control token for clients from elsewhere.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "common/main_thread.hpp"
#include "server/network_addresses.hpp"
#include "server/tests/test_client.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace connections_test {

using namespace solvera;
using namespace solvera::test;
using namespace std::chrono_literals;

namespace {

StaticServer::Options withLimits(ConnectionLimits limits) {
  StaticServer::Options options;
  options.limits = limits;
  return options;
}

// The route table's reply for a request from peer, when it comes at once.
std::string replyFor(StaticServer& server, const std::string& request, const Peer& peer) {
  std::string out;
  server.queue().sync(
      [&] { server.respond(request, peer, [&out](http::Response r) { out = r.flattened(); }); });
  return out;
}

}  // namespace

TEST(Connections, SilentHalfSentAndSlowRequestsAreClosedWithoutAReply) {
  ConnectionLimits limits;
  limits.headTimeout = 200ms;
  limits.requestTimeout = 400ms;
  RunningServer server(withLimits(limits));

  OpenConnection silent(server.port());
  OpenConnection halfHead(server.port());
  halfHead.send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n");
  OpenConnection slowBody(server.port());
  slowBody.send("POST /index.html HTTP/1.1\r\nContent-Length: 10\r\n\r\nab");
  for (auto* c : {&silent, &halfHead, &slowBody}) {
    auto reply = c->readToEnd();
    EXPECT_TRUE(reply.closedByServer);
    EXPECT_EQ(reply.bytes, "");
  }
  // A prompt request is still answered in full.
  EXPECT_EQ(server.send(request("GET", "/")).statusLine(), "HTTP/1.1 404 Not Found");
}

// After a stop nothing is answered: a connection waiting for its next request and one halfway
// through a request are ended at once (only the stop can end them here), so no request reaches
// the routes while the program shuts down.
TEST(Connections, AStopEndsEveryConnection) {
  ConnectionLimits limits;
  limits.headTimeout = limits.requestTimeout = 600s;
  RunningServer server(withLimits(limits));
  OpenConnection waiting(server.port());
  OpenConnection halfHead(server.port());
  halfHead.send("POST /dmx HTTP/1.1\r\nHost: 127.0.0.1\r\n");
  // Both are accepted before the stop.
  EXPECT_EQ(server.send(request("GET", "/")).statusLine(), "HTTP/1.1 404 Not Found");
  server.server().stop();
  for (auto* c : {&waiting, &halfHead}) {
    auto reply = c->readToEnd(30s);
    EXPECT_TRUE(reply.closedByServer);
    EXPECT_EQ(reply.bytes, "");
  }
}

TEST(Connections, IdleConnectionsAtTheCapMakeRoomOldestFirst) {
  ConnectionLimits limits;
  limits.maxConnections = 8;
  limits.headTimeout = limits.requestTimeout = 600s;  // only the cap closes anything here
  RunningServer server(withLimits(limits));
  server.dir().write("root/index.html", "index");
  std::vector<std::unique_ptr<OpenConnection>> idle;
  for (int i = 0; i < 20; ++i) idle.push_back(std::make_unique<OpenConnection>(server.port()));
  // Every idle connection beyond the cap closed the oldest one.
  EXPECT_TRUE(idle.front()->readToEnd().closedByServer);
  EXPECT_TRUE(idle[11]->readToEnd().closedByServer);

  auto reply = server.send(request("GET", "/"));
  EXPECT_EQ(reply.body(), "index") << "a new request is never starved by idle ones";
  EXPECT_TRUE(idle[12]->readToEnd().closedByServer) << "the oldest idle one made room";
  EXPECT_FALSE(idle.back()->closedByServer()) << "the newest idle ones are kept";
  // One that started its request is not idle any more and finishes.
  idle.back()->send(request("GET", "/"));
  EXPECT_EQ(idle.back()->readToEnd().body(), "index");
}

TEST(Connections, APeerFromElsewhereKeepsToItsShareNeedsTheTokenAndDoesNotHoldUpLoopback) {
  // This machine's own LAN address is a peer other than loopback, without leaving the machine.
  const auto lan = NetworkAddresses().localNetworkAddresses();
  if (lan.empty()) GTEST_SKIP() << "this machine has no address besides loopback";
  ConnectionLimits limits;
  limits.maxConnectionsPerPeer = 4;
  limits.headTimeout = limits.requestTimeout = 600s;  // only the caps close anything here
  RunningServer server(withLimits(limits));
  server.dir().write("root/index.html", "index");
  std::vector<std::unique_ptr<OpenConnection>> idle;
  for (int i = 0; i < 10; ++i) {
    idle.push_back(std::make_unique<OpenConnection>(server.port(), lan.front()));
  }
  // Each connection beyond its share closed the peer's oldest idle one.
  EXPECT_TRUE(idle.front()->readToEnd().closedByServer);
  EXPECT_TRUE(idle[5]->readToEnd().closedByServer);
  // Loopback does not count against that peer, nor the peer against loopback.
  std::vector<std::unique_ptr<OpenConnection>> local;
  for (int i = 0; i < 6; ++i) local.push_back(std::make_unique<OpenConnection>(server.port()));
  EXPECT_EQ(server.send(request("GET", "/")).body(), "index");
  for (auto& connection : local) EXPECT_FALSE(connection->closedByServer());
  // The peer's newest connections are kept and answered, the lamps only with the token.
  for (std::size_t i = 6; i < 9; ++i) {
    idle[i]->send(request("GET", "/"));
    EXPECT_EQ(idle[i]->readToEnd().body(), "index") << i;
  }
  idle[9]->send(request("POST", "/dmx", R"({"targetIp":"127.0.0.1","universe":0,"dmx":[255]})"));
  auto refused = idle[9]->readToEnd();
  EXPECT_EQ(refused.statusLine(), "HTTP/1.1 403 Forbidden");
  EXPECT_EQ(refused.body(), R"({"ok":false,"error":"invalid_token"})");
}

TEST(Connections, LargeFilesAreStreamedWhileThePeerReads) {
  RunningServer server;
  std::string music(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < music.size(); ++i) music[i] = static_cast<char>(i * 7 % 251);
  server.dir().write("library/big.mp3", music);
  OpenConnection reader(server.port());
  reader.send(request("GET", "/music-library/big.mp3"));
  std::string head = reader.readSome(200);
  EXPECT_TRUE(
      head.starts_with("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                       "Content-Length: 3145745\r\n"))
      << head;
  auto rest = reader.readToEnd();
  EXPECT_TRUE(rest.closedByServer);
  std::string whole = head + rest.bytes;
  EXPECT_EQ(whole.substr(whole.find("\r\n\r\n") + 4), music);
}

TEST(ControlToken, OtherClientsNeedItForEveryControlEndpoint) {
  RunningServer server;
  server.dir().write("root/index.html", "index");
  StaticServer& s = server.server();
  const Peer lan{"192.168.1.20", false};
  const Peer loopback{"127.0.0.1", true};
  const std::string token = s.controlToken();
  EXPECT_EQ(token.size(), 32u);
  const std::string forbidden =
      "HTTP/1.1 403 Forbidden\r\nContent-Type: application/json\r\nContent-Length: 36\r\n"
      "Connection: close\r\nCache-Control: no-store\r\n\r\n"
      R"({"ok":false,"error":"invalid_token"})";
  std::vector<std::string> control = {
      request("POST", "/dmx", "{}"),
      request("GET", "/dmx/serial-ports"),
      request("POST", "/audio/stop", "{}"),
      request("GET", "/audio/limits"),
      request("GET", "/control/info"),
      request("GET", "/remote/info"),
      request("GET", "/screen-light/info"),
      request("POST", "/openai/ask-ai", "{}"),
      request("POST", "/marketplace/submissions", "{}"),
      request("GET", "/affiliate-profile"),
      // Whatever the method, and under the lights and the AI service also paths nobody answers.
      request("GET", "/dmx"),
      request("GET", "/audio/start"),
      request("GET", "/dmx/unknown"),
      request("POST", "/openai/other", "{}"),
  };
  for (const auto& r : control) {
    std::string target = r.substr(0, r.find("\r\n"));
    EXPECT_EQ(replyFor(s, r, lan), forbidden) << target;
    auto withWrongToken = r;
    withWrongToken.insert(r.find("\r\n") + 2,
                          "X-Solvera-Control-Token: " + std::string(32, '0') + "\r\n");
    EXPECT_EQ(replyFor(s, withWrongToken, lan), forbidden) << target;
  }
  // With the token, and from loopback without it, the same bytes as always.
  for (const char* target : {"/remote/info", "/screen-light/info", "/dmx/serial-ports",
                             "/audio/limits", "/control/info"}) {
    auto plain = request("GET", target);
    auto tokened = request("GET", target, "", "X-Solvera-Control-Token: " + token + "\r\n");
    auto fromHere = replyFor(s, plain, loopback);
    EXPECT_TRUE(fromHere.starts_with("HTTP/1.1 200 OK\r\n")) << target;
    EXPECT_EQ(replyFor(s, tokened, lan).substr(0, 17), "HTTP/1.1 200 OK\r\n") << target;
  }
  // Pages and the relays with their own tokens stay open to everyone.
  EXPECT_EQ(replyFor(s, request("GET", "/"), lan), replyFor(s, request("GET", "/"), loopback));
  EXPECT_TRUE(replyFor(s, request("GET", "/remote/state"), lan).starts_with("HTTP/1.1 403"))
      << "the remote token still guards the relay";
  EXPECT_EQ(s.controlURL().find("http://"), 0u);
  EXPECT_TRUE(s.controlURL().ends_with("/?token=" + token)) << s.controlURL();
  // The page on this machine shows that address (as a QR code) to other devices.
  auto info = replyFor(s, request("GET", "/control/info"), loopback);
  EXPECT_TRUE(info.ends_with(R"({"ok":true,"url":")" + s.controlURL() + R"("})")) << info;
}

}  // namespace connections_test
