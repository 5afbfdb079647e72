// The shared upstream exchange over real libcurl transfers to stand-ins on loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string_view>

#include "cloud/upstream.hpp"
#include "cloud/tests/stand_in_service.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace http_exchange_test {

using namespace solvera;
using namespace std::chrono_literals;
using cloud::HttpRequest;
using test::StandInService;

namespace {

HttpRequest post(const std::string& url, std::chrono::milliseconds timeout = 5s) {
  HttpRequest r;
  r.method = "POST";
  r.url = url;
  r.timeout = timeout;
  r.headers = {{"Content-Type", "application/json"}, {"X-Empty", ""}};
  r.body = R"({"a":"é"})";
  return r;
}

cloud::UpstreamResult exchanged(cloud::Upstream& upstream, const HttpRequest& request,
                                std::chrono::milliseconds waitLimit) {
  return test::awaitAnswer<cloud::UpstreamResult>([&](auto done) {
    cloud::exchangeWithService(upstream, request, "fallback", waitLimit, done);
  });
}

std::chrono::milliseconds since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start);
}

}  // namespace

TEST(HttpUpstream, SendsTheRequestExactlyAndKeepsStatusAndBytes) {
  StandInService service(StandInService::reply("201 Created", "{\"id\":7}"));
  cloud::HttpUpstream upstream;
  auto result = exchanged(upstream, post(service.baseURL() + "/v2/x?y=1"), 5s);
  EXPECT_TRUE(result.completed);
  EXPECT_EQ(result.status, 201);
  EXPECT_EQ(result.body, "{\"id\":7}");
  ASSERT_EQ(service.requests().size(), 1u);
  auto r = service.requests()[0];
  EXPECT_EQ(r.method, "POST");
  EXPECT_EQ(r.path, "/v2/x");
  EXPECT_EQ(r.query, "y=1");
  EXPECT_EQ(r.headers["content-type"], "application/json");
  EXPECT_NE(r.head.find("\r\nX-Empty:"), std::string::npos) << "an empty header is still sent";
  EXPECT_EQ(r.headers.count("expect"), 0u);
  EXPECT_EQ(r.body, R"({"a":"é"})");

  service.answerWith(StandInService::reply("204 No Content", ""));
  result = exchanged(upstream, post(service.baseURL()), 5s);
  EXPECT_EQ(result.status, 204);
  EXPECT_EQ(result.body, "") << "an empty body replaces the fallback";

  HttpRequest injected = post(service.baseURL());
  injected.headers.push_back({"X-Code", "a\r\nX-Other: b"});
  EXPECT_EQ(exchanged(upstream, injected, 5s).status, 502);
  EXPECT_EQ(service.connectionCount(), 2u) << "a header with a line break is never sent";
}

TEST(HttpUpstream, TransportFailuresKeep502AndTheFallback) {
  cloud::HttpUpstream upstream;
  auto port = std::to_string(test::refusedLoopbackPort());
  auto refused = exchanged(upstream, post("http://127.0.0.1:" + port + "/"), 5s);
  EXPECT_TRUE(refused.completed);
  EXPECT_EQ(refused.status, 502);
  EXPECT_EQ(refused.body, "fallback");

  auto file = exchanged(upstream, post("file:///etc/hostname"), 5s);
  EXPECT_EQ(file.status, 502) << "only http and https";
  EXPECT_EQ(file.body, "fallback");
}

TEST(HttpUpstream, NotConfiguredMeansUnreachableWithoutTraffic) {
  StandInService service;
  cloud::HttpUpstream upstream;
  auto result = exchanged(upstream, post(""), 5s);
  EXPECT_TRUE(result.completed);
  EXPECT_EQ(result.status, 502);
  EXPECT_EQ(result.body, "fallback");
  EXPECT_EQ(cloud::serviceURL("", "/v1/responses"), "");
  EXPECT_EQ(cloud::serviceURL("http://h:1/", "/v1/responses"), "http://h:1/v1/responses");
  EXPECT_EQ(service.connectionCount(), 0u);
}

// A silent service: the client gives up once the connection has been idle for the request
// time-out, before the wait limit; that counts as a time-out, not as an answer.
TEST(HttpUpstream, SilentServiceEndsAtTheRequestTimeOut) {
  StandInService service(StandInService::silent());
  cloud::HttpUpstream upstream;
  auto start = std::chrono::steady_clock::now();
  auto result = exchanged(upstream, post(service.baseURL(), 1s), 10s);
  auto elapsed = since(start);
  EXPECT_FALSE(result.completed);
  EXPECT_EQ(result.status, 502);
  EXPECT_EQ(result.body, "fallback");
  EXPECT_GE(elapsed, 1s);
  std::cout << "[ measured ] idle time-out 1 s ended after " << elapsed.count() << " ms\n";
}

// A service that keeps sending and never finishes: the wait limit ends it, and the completion
// that comes later (when the client is torn down) writes into cells nobody reads any more.
TEST(HttpUpstream, NeverFinishingAnswerEndsAtTheWaitLimit) {
  StandInService service(StandInService::trickle());
  auto client = std::make_unique<cloud::HttpClient>();
  cloud::HttpUpstream upstream(*client);
  auto start = std::chrono::steady_clock::now();
  auto result = exchanged(upstream, post(service.baseURL(), 1s), 2500ms);
  auto elapsed = since(start);
  EXPECT_FALSE(result.completed);
  EXPECT_EQ(result.body, "fallback");
  EXPECT_GE(elapsed, 2500ms);
  std::cout << "[ measured ] wait limit 2.5 s ended after " << elapsed.count() << " ms\n";
  client.reset();  // the late completion runs now
}

// Redirects are followed; 307 keeps the method and body, 302 turns a POST into a GET.
TEST(HttpUpstream, FollowsRedirects) {
  StandInService target(StandInService::reply("200 OK", R"({"moved":true})"));
  StandInService first(
      StandInService::redirect("307 Temporary Redirect", target.baseURL() + "/new"));
  cloud::HttpUpstream upstream;
  auto result = exchanged(upstream, post(first.baseURL() + "/old"), 5s);
  EXPECT_EQ(result.status, 200);
  EXPECT_EQ(result.body, R"({"moved":true})");
  ASSERT_EQ(target.requests().size(), 1u);
  EXPECT_EQ(target.requests()[0].method, "POST");
  EXPECT_EQ(target.requests()[0].path, "/new");
  EXPECT_EQ(target.requests()[0].body, R"({"a":"é"})");

  first.answerWith(StandInService::redirect("302 Found", target.baseURL() + "/get"));
  result = exchanged(upstream, post(first.baseURL()), 5s);
  EXPECT_EQ(result.status, 200);
  ASSERT_EQ(target.requests().size(), 2u);
  EXPECT_EQ(target.requests()[1].method, "GET");

  first.answerWith(StandInService::redirect("302 Found", first.baseURL() + "/again"));
  result = exchanged(upstream, post(first.baseURL()), 5s);
  EXPECT_EQ(result.status, 502) << "an endless chain ends after a few hops";
  EXPECT_EQ(result.body, "fallback");
}

// Downloads hand the body to a sink: no memory limit then, and the sink or a flag can stop it.
TEST(HttpClient, ABodySinkTakesBodiesPastTheMemoryLimitAndCanStopOrBeCancelled) {
  const std::string large(cloud::HttpClient::kMaxResponseBytes + 1, 'x');
  StandInService service(StandInService::reply("200 OK", large, "application/zip"));
  cloud::HttpClient client;
  auto fetch = [&](HttpRequest request) {
    return test::awaitAnswer<cloud::HttpResponse>(
        [&](auto done) { client.start(std::move(request), done); });
  };
  HttpRequest get;
  get.url = service.baseURL() + "/big.zip";

  auto kept = fetch(get);
  EXPECT_TRUE(kept.error.has_value()) << "in memory the limit holds";

  std::size_t received = 0;
  get.bodySink = [&received](std::string_view piece) {
    received += piece.size();
    return true;
  };
  auto sunk = fetch(get);
  EXPECT_FALSE(sunk.error) << *sunk.error;
  EXPECT_EQ(sunk.status, 200);
  EXPECT_EQ(sunk.body, "");
  EXPECT_EQ(received, large.size());

  get.bodySink = [](std::string_view) { return false; };
  auto refused = fetch(get);
  EXPECT_TRUE(refused.error.has_value()) << "a sink that cannot write stops the transfer";
  EXPECT_FALSE(refused.status);

  // A silent service with a long time-out: only the flag can end this one.
  service.answerWith(StandInService::silent());
  std::atomic<bool> cancelled{false};
  get.bodySink = [](std::string_view) { return true; };
  get.cancelled = &cancelled;
  get.timeout = std::chrono::minutes(10);
  auto pending = std::async(std::launch::async, [&] { return fetch(get); });
  ASSERT_TRUE(service.waitForRequests(4));
  cancelled = true;
  auto ended = pending.get();
  EXPECT_TRUE(ended.error.has_value()) << "ended by the flag, not the time-out";
}

}  // namespace http_exchange_test
