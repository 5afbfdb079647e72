// Marketplace and affiliate proxies against stand-in services on loopback.
#include <gtest/gtest.h>

#include "cloud/services.hpp"
#include "cloud/tests/stand_in_service.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace services_test {

using namespace solvera;
using test::StandInService;

namespace {

struct Reply {
  std::string status;
  std::string contentType;
  std::string body;
};

Reply parse(const std::string& bytes) {
  auto head = bytes.substr(0, bytes.find("\r\n\r\n"));
  auto ct = head.find("Content-Type: ") + 14;
  return {head.substr(9, head.find("\r\n") - 9), head.substr(ct, head.find("\r\n", ct) - ct),
          bytes.substr(bytes.find("\r\n\r\n") + 4)};
}

const std::string kSubmission =
    "{\"format\":\"solvera-marketplace-submission\",  \"title\":\"Rust\xC3\xA9\"}";
const std::string kFormatError = R"({"ok":false,"error":"invalid_local_payload"})";
const std::string kAffiliateFallback =
    R"({"code":"affiliate_proxy_unreachable","message":"Affiliate profile service could not be reached.","data":{"status":502}})";

struct Fixture {
  StandInService service;
  cloud::HttpUpstream upstream;
  cloud::ServiceProxies proxies{service.baseURL(), service.baseURL(), upstream};
};

}  // namespace

TEST(MarketplaceSubmission, FormatIsCheckedLocally) {
  Fixture f;
  for (const std::string body :
       {"not json", "[]", "{}", R"({"format":"other"})", R"({"format":1})", ""}) {
    auto r = parse(test::awaitReply(
        [&](auto done) { f.proxies.handleMarketplaceSubmission(body, "P1", done); }));
    EXPECT_EQ(r.status, "400 Bad Request") << body;
    EXPECT_EQ(r.body, kFormatError) << body;
  }
  auto r = parse(test::awaitReply([&](auto done) {
    f.proxies.handleMarketplaceSubmission(kSubmission, "P1\nX-Other: 1", done);
  }));
  EXPECT_EQ(r.status, "400 Bad Request") << "a code with a line break is not forwarded";
  EXPECT_EQ(f.service.connectionCount(), 0u);
}

TEST(MarketplaceSubmission, ForwardsTheBodyAndCodeAndMapsTheStatus) {
  Fixture f;
  f.service.answerWith(StandInService::reply("201 Created", R"({"id":"sub_1"})"));
  auto r = parse(test::awaitReply(
      [&](auto done) { f.proxies.handleMarketplaceSubmission(kSubmission, "", done); }));
  EXPECT_EQ(r.status, "201 OK");
  EXPECT_EQ(r.contentType, "application/json");
  EXPECT_EQ(r.body, R"({"id":"sub_1"})");
  auto sent = f.service.requests().at(0);
  EXPECT_EQ(sent.method, "POST");
  EXPECT_EQ(sent.path, "/v2/submissions");
  EXPECT_EQ(sent.body, kSubmission) << "byte for byte";
  EXPECT_EQ(sent.headers["content-type"], "application/json");
  ASSERT_EQ(sent.headers.count("x-solvera-publisher-code"), 1u) << "sent also when empty";
  EXPECT_EQ(sent.headers["x-solvera-publisher-code"], "");

  std::vector<std::pair<std::string, std::string>> rows = {
      {"422 Unprocessable Entity", "422 Upstream Response"}, {"401 Unauthorized", "401 Unauthorized"},
      {"404 Not Found", "404 Upstream Response"}, {"400 Bad Request", "400 Bad Request"},
      {"503 Service Unavailable", "503 Service Unavailable"}, {"500 Oops", "500 Upstream Response"}};
  for (const auto& [upstreamLine, ourLine] : rows) {
    f.service.answerWith(StandInService::reply(upstreamLine, "{\"why\":\"" + upstreamLine + "\"}"));
    r = parse(test::awaitReply(
        [&](auto done) { f.proxies.handleMarketplaceSubmission(kSubmission, "PUB-42", done); }));
    EXPECT_EQ(r.status, ourLine);
    EXPECT_EQ(r.body, "{\"why\":\"" + upstreamLine + "\"}") << "the service's body, unchanged";
  }
  EXPECT_EQ(f.service.requests().back().headers["x-solvera-publisher-code"], "PUB-42");
}

TEST(AffiliateProfile, BuildsTheQueryFromTheFirstDecodedValues) {
  Fixture f;
  f.service.answerWith(StandInService::reply("200 OK", R"({"name":"A"})"));
  auto query = [&](const std::string& q) {
    auto r = parse(test::awaitReply([&](auto done) { f.proxies.handleAffiliateProfile(q, done); }));
    EXPECT_EQ(r.status, "200 OK") << q;
    auto sent = f.service.requests().back();
    EXPECT_EQ(sent.path, "/wp-json/solvera-affiliate/v1/profile");
    EXPECT_EQ(sent.headers["accept"], "application/json");
    return sent.query;
  };
  EXPECT_EQ(query("email=ann%40example.org&license_key=K-1"), "email=ann@example.org&license_key=K-1");
  EXPECT_EQ(query("license_key=K%201&email="), "license_key=K%201");
  EXPECT_EQ(query("email=a%2Bb%40x.nl&email=second"), "email=a%2Bb@x.nl") << "+ stays a plus";
  EXPECT_EQ(query("email=100%&license_key=K"), "license_key=K") << "a bare % counts as empty";
  EXPECT_EQ(query("license_key=a%26b%3Dc&x=1"), "license_key=a%26b%3Dc");
  EXPECT_EQ(query("Email=x&email=j%C3%A9@x.nl"), "email=j%C3%A9@x.nl") << "names compared literally";
  EXPECT_EQ(f.service.requests().size(), 6u);
}

TEST(AffiliateProfile, MissingInputUnreachableAndStatusMapping) {
  Fixture f;
  for (const char* q : {"", "email=&license_key=", "email", "other=1", "email=%zz"}) {
    auto r = parse(test::awaitReply([&](auto done) { f.proxies.handleAffiliateProfile(q, done); }));
    EXPECT_EQ(r.status, "400 Bad Request") << q;
    EXPECT_EQ(r.body, R"({"code":"missing_email","message":"A valid email address or registration code is required.","data":{"status":400}})");
  }
  EXPECT_EQ(f.service.connectionCount(), 0u);

  std::vector<std::pair<std::string, std::string>> rows = {
      {"401 Unauthorized", "401 Upstream Response"}, {"404 Not Found", "404 Not Found"},
      {"202 Accepted", "202 OK"}, {"403 Forbidden", "403 Upstream Response"}};
  for (const auto& [upstreamLine, ourLine] : rows) {
    f.service.answerWith(StandInService::reply(upstreamLine, R"({"code":"x"})"));
    auto r = parse(test::awaitReply(
        [&](auto done) { f.proxies.handleAffiliateProfile("email=a@b.c", done); }));
    EXPECT_EQ(r.status, ourLine);
    EXPECT_EQ(r.body, R"({"code":"x"})");
  }

  cloud::ServiceProxies refused(
      "", "http://127.0.0.1:" + std::to_string(test::refusedLoopbackPort()), f.upstream);
  auto r = parse(
      test::awaitReply([&](auto done) { refused.handleAffiliateProfile("email=a@b.c", done); }));
  EXPECT_EQ(r.status, "502 Bad Gateway");
  EXPECT_EQ(r.body, kAffiliateFallback);
  r = parse(test::awaitReply(
      [&](auto done) { refused.handleMarketplaceSubmission(kSubmission, "P", done); }));
  EXPECT_EQ(r.status, "502 Bad Gateway") << "marketplace not configured";
  EXPECT_EQ(r.body, R"({"ok":false,"error":"marketplace_unreachable"})");
}

}  // namespace services_test
