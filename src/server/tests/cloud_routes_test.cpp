// The proxies through the server's route table, configured from the application information,
// and the time limits each handler hands to the exchange.
#include <gtest/gtest.h>

#include "cloud/openai.hpp"
#include "cloud/services.hpp"
#include "cloud/tests/stand_in_service.hpp"
#include "server/tests/test_client.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace cloud_routes_test {

using namespace solvera;
using namespace std::chrono_literals;
using test::StandInService;

namespace {

const std::string kKey = "sk-" + std::string(32, 'k');

// Records what a handler asks of the exchange, without sending anything.
struct RecordingUpstream : cloud::Upstream {
  void exchange(const cloud::HttpRequest& request, const std::string&,
                std::chrono::milliseconds waitLimit, Done done) override {
    calls.push_back({request.url, request.timeout, waitLimit});
    done({true, 200, "{}"});
  }
  struct Call {
    std::string url;
    std::chrono::milliseconds timeout, wait;
  };
  std::vector<Call> calls;
};

}  // namespace

TEST(CloudRoutes, HandlersUseTheirRequestTimeOutsAndWaitLimits) {
  RecordingUpstream upstream;
  cloud::OpenAIProxy openAI("https://api.openai.com", upstream);
  cloud::ServiceProxies services("https://m.example", "https://w.example/", upstream);
  test::awaitReply([&](auto done) { openAI.handleOpenAIAskAI(R"({"sessions":[]})", kKey, done); });
  test::awaitReply([&](auto done) { openAI.handleOpenAIAskAIQuery("{}", kKey, done); });
  test::awaitReply(
      [&](auto done) { openAI.handleOpenAISessionDescription(R"({"session":{}})", kKey, done); });
  test::awaitReply([&](auto done) {
    services.handleMarketplaceSubmission(R"({"format":"solvera-marketplace-submission"})", "",
                                         done);
  });
  test::awaitReply([&](auto done) { services.handleAffiliateProfile("email=a@b.c", done); });
  ASSERT_EQ(upstream.calls.size(), 5u);
  auto expect = [&](std::size_t i, const std::string& url, std::chrono::seconds t,
                    std::chrono::seconds w) {
    EXPECT_EQ(upstream.calls[i].url, url);
    EXPECT_EQ(upstream.calls[i].timeout, t) << url;
    EXPECT_EQ(upstream.calls[i].wait, w) << url;
  };
  expect(0, "https://api.openai.com/v1/responses", 25s, 27s);
  expect(1, "https://api.openai.com/v1/responses", 25s, 27s);
  expect(2, "https://api.openai.com/v1/responses", 35s, 37s);
  expect(3, "https://m.example/v2/submissions", 20s, 22s);
  expect(4, "https://w.example/wp-json/solvera-affiliate/v1/profile?email=a@b.c", 20s, 22s);
}

TEST(CloudRoutes, RoutesReachTheServicesNamedInTheApplicationInformation) {
  StandInService service(StandInService::reply("200 OK", R"({"output_text":"{\"recommendations\":[]}"})"));
  RouteSettings routes;
  routes.appInfo.openAIBaseURL = service.baseURL();
  routes.appInfo.marketplaceBaseURL = service.baseURL();
  routes.appInfo.webServiceBaseURL = service.baseURL() + "/";
  test::RunningServer server(routes);

  auto ask = server.send(test::request("POST", "/openai/ask-ai", R"({"sessions":[]})",
                                       "x-openai-api-key: " + kKey + "\r\n"));
  EXPECT_EQ(ask.statusLine(), "HTTP/1.1 200 OK");
  EXPECT_EQ(ask.body(), R"({"ok":true,"recommendations":[]})");
  EXPECT_EQ(service.requests().at(0).headers["authorization"], "Bearer " + kKey);

  auto noKey = server.send(test::request("POST", "/openai/session-description", "{}"));
  EXPECT_EQ(noKey.statusLine(), "HTTP/1.1 401 Unauthorized");

  service.answerWith(StandInService::reply("201 Created", R"({"id":1})"));
  auto submission = server.send(test::request(
      "POST", "/marketplace/submissions", R"({"format":"solvera-marketplace-submission"})",
      "X-Solvera-Publisher-Code: PUB\r\n"));
  EXPECT_EQ(submission.statusLine(), "HTTP/1.1 201 OK");
  EXPECT_EQ(service.requests().at(1).headers["x-solvera-publisher-code"], "PUB");

  service.answerWith(StandInService::reply("404 Not Found", R"({"code":"none"})"));
  auto profile = server.send(test::request("GET", "/affiliate-profile?email=a%40b.c"));
  EXPECT_EQ(profile.statusLine(), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(profile.body(), R"({"code":"none"})");
  EXPECT_EQ(service.requests().at(2).query, "email=a@b.c");
  EXPECT_EQ(service.requests().size(), 3u);
}

TEST(CloudRoutes, EmptyBaseAddressesAreAnsweredAsUnreachableWithoutTraffic) {
  RouteSettings routes;
  routes.appInfo.openAIBaseURL = "";
  test::RunningServer server(routes);
  auto ask = server.send(test::request("POST", "/openai/ask-ai-query", "{}",
                                       "x-openai-api-key: " + kKey + "\r\n"));
  EXPECT_EQ(ask.statusLine(), "HTTP/1.1 502 Upstream Response");
  EXPECT_EQ(ask.body(), R"({"ok":false,"error":"openai_error"})");
  auto profile = server.send(test::request("GET", "/affiliate-profile?license_key=K"));
  EXPECT_EQ(profile.statusLine(), "HTTP/1.1 502 Bad Gateway");
  auto submission = server.send(test::request(
      "POST", "/marketplace/submissions", R"({"format":"solvera-marketplace-submission"})"));
  EXPECT_EQ(submission.body(), R"({"ok":false,"error":"marketplace_unreachable"})");
}

// Proxies waiting for a silent service hold nobody up: other requests are answered meanwhile,
// and the server ends at once with the proxies still in flight.
TEST(CloudRoutes, WaitingProxiesNeverHoldUpTheServer) {
  StandInService service(StandInService::silent());
  RouteSettings routes;
  routes.appInfo.openAIBaseURL = service.baseURL();
  routes.appInfo.webServiceBaseURL = service.baseURL();
  auto server = std::make_unique<test::RunningServer>(routes);
  std::vector<std::unique_ptr<test::OpenConnection>> asking;
  for (int i = 0; i < 3; ++i) {
    asking.push_back(std::make_unique<test::OpenConnection>(server->port()));
    asking.back()->send(test::request("POST", "/openai/ask-ai", R"({"sessions":[]})",
                                      "x-openai-api-key: " + kKey + "\r\n"));
  }
  asking.push_back(std::make_unique<test::OpenConnection>(server->port()));
  asking.back()->send(test::request("GET", "/affiliate-profile?email=a%40b.c"));
  ASSERT_TRUE(service.waitForRequests(4));

  auto info = server->send(test::request("GET", "/remote/info"));
  EXPECT_EQ(info.statusLine(), "HTTP/1.1 200 OK");
  auto stop = server->send(test::request("POST", "/audio/stop", "{}"));
  EXPECT_EQ(stop.body(), R"({"ok":true})");
  for (auto& c : asking) EXPECT_FALSE(c->closedByServer()) << "still waiting for the service";

  server.reset();
  for (auto& c : asking) {
    auto reply = c->readToEnd();
    EXPECT_TRUE(reply.closedByServer) << "a server that is gone leaves nothing open";
    EXPECT_EQ(reply.bytes, "");
  }
}

}  // namespace cloud_routes_test
