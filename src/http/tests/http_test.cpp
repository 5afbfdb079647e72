// Request framing, parsing, replies and lookups on bytes.
#include <gtest/gtest.h>

#include <limits>

#include "http/http.hpp"
#include "common/json.hpp"
#include "http/request_guard.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace http_test {

using namespace solvera::http;

TEST(RequestFraming, WaitsForTheHeadAndTheWholeBody) {
  EXPECT_FALSE(requestDataIsComplete(""));
  EXPECT_FALSE(requestDataIsComplete("GET / HTTP/1.1\r\nHost: x\r\n"));
  EXPECT_TRUE(requestDataIsComplete("GET / HTTP/1.1\r\n\r\n"));
  EXPECT_FALSE(requestDataIsComplete("POST /x HTTP/1.1\r\nContent-Length: 5\r\n\r\nabcd"));
  EXPECT_TRUE(requestDataIsComplete("POST /x HTTP/1.1\r\nContent-Length: 5\r\n\r\nabcde"));
  EXPECT_TRUE(requestDataIsComplete("POST /x HTTP/1.1\r\nCONTENT-LENGTH :  5 \r\n\r\nabcdefgh"))
      << "name matched case-insensitively, longer bodies are complete";
  EXPECT_TRUE(requestDataIsComplete("POST /x HTTP/1.1\r\nContent-Length: -3\r\n\r\n"))
      << "a negative length asks for nothing";
  EXPECT_TRUE(requestDataIsComplete("POST /x HTTP/1.1\r\nContent-Length: +0\r\n\r\n"));
  EXPECT_TRUE(requestDataIsComplete("POST /x HTTP/1.1\r\nContent-Length: abc\r\n\r\n"))
      << "a length that is not a number counts as none";
  EXPECT_FALSE(requestDataIsComplete("POST /x HTTP/1.1\r\nContent-Length: abc\r\n"
                                     "Content-Length: 2\r\n\r\nx"))
      << "the first line that yields a number wins";
  EXPECT_FALSE(requestDataIsComplete("POST /x HTTP/1.1\r\nContent-Length: 9223372036854775807\r\n\r\n"))
      << "a length that would overflow stays incomplete";
  EXPECT_TRUE(requestDataIsComplete("POST /x HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n"))
      << "a length beyond 64 bits is not a number at all";
  EXPECT_FALSE(requestDataIsComplete("GET /\xff HTTP/1.1\r\n\r\n")) << "a head that is not UTF-8";
  EXPECT_TRUE(requestDataIsComplete("Content-Length: 50\r\n\r\n")) << "the request line is skipped";
}

TEST(RequestParser, SplitsTheRequestLineTargetAndHeaders) {
  auto r = requestInfo("POST /remote/state?token=ab%20c&x HTTP/1.1\r\n"
                       " Host :  example \r\nX-Thing: 1\r\nno colon line\r\nx-thing: 2\r\n"
                       "Content-Length: 3\r\n\r\nabcdef");
  EXPECT_EQ(r.method, "POST");
  EXPECT_EQ(r.path, "/remote/state");
  EXPECT_EQ(r.query, "token=ab%20c&x");
  EXPECT_EQ(r.headers.at("host"), "example");
  EXPECT_EQ(r.headers.at("x-thing"), "1") << "the first of a repeated header wins";
  EXPECT_EQ(r.headers.size(), 3u);
  EXPECT_EQ(r.body, "abc") << "a body longer than its length is cut";

  auto noLength = requestInfo("PUT /a?b?c HTTP/1.1\r\n\r\nrest of it");
  EXPECT_EQ(noLength.method, "PUT");
  EXPECT_EQ(noLength.path, "/a");
  EXPECT_EQ(noLength.query, "b?c") << "split at the first question mark only";
  EXPECT_EQ(noLength.body, "rest of it") << "no length takes everything after the head";

  auto root = requestInfo("get  /  HTTP/1.0\r\n\r\n");
  EXPECT_EQ(root.method, "get") << "case kept";
  EXPECT_EQ(root.path, "/index.html");

  EXPECT_EQ(requestInfo("POST /a?\r\n\r\n").query, "");
  EXPECT_EQ(requestInfo("POST /a HTTP/1.1\r\nContent-Length: -4\r\n\r\nabc").body, "");
  EXPECT_EQ(requestInfo("POST /a HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc").body, "abc");
  EXPECT_EQ(requestInfo("POST /a HTTP/1.1\r\nContent-Length: 9223372036854775807\r\n\r\nabc").body,
            "abc");
}

TEST(RequestParser, UnparsableRequestsReadAsTheIndexPage) {
  for (const char* bytes : {"", "GET / HTTP/1.1\r\n", "ONEWORD\r\n\r\n", "   \r\n\r\n",
                            "GET /\xc3\x28 HTTP/1.1\r\n\r\n"}) {
    auto r = requestInfo(bytes);
    EXPECT_EQ(r.method, "GET") << bytes;
    EXPECT_EQ(r.path, "/index.html") << bytes;
    EXPECT_TRUE(r.query.empty() && r.headers.empty() && r.body.empty()) << bytes;
  }
}

TEST(HttpResponse, HasExactlyTheFourHeaders) {
  EXPECT_EQ(httpResponse("404 Not Found", "text/plain; charset=utf-8", "Not found"),
            "HTTP/1.1 404 Not Found\r\n"
            "Content-Type: text/plain; charset=utf-8\r\n"
            "Content-Length: 9\r\n"
            "Connection: close\r\n"
            "Cache-Control: no-store\r\n"
            "\r\n"
            "Not found");
  EXPECT_EQ(jsonResponse(solvera::OrderedJson{{"ok", true}, {"n", 1}}),
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 17\r\n"
            "Connection: close\r\nCache-Control: no-store\r\n\r\n{\"ok\":true,\"n\":1}");
  auto broken = jsonResponse(solvera::Json{{"text", std::string("\xff")}}, "400 Bad Request");
  EXPECT_TRUE(broken.ends_with("\r\n\r\n{\"ok\":false}")) << "a failed serialisation";
  EXPECT_TRUE(broken.starts_with("HTTP/1.1 400 Bad Request\r\n"));
}

TEST(QueryValue, TakesTheFirstPairUndecoded) {
  EXPECT_EQ(queryValue("token", "token=ab%20c"), "ab%20c");
  EXPECT_EQ(queryValue("token", "token"), std::nullopt);
  EXPECT_EQ(queryValue("a", "a=1&a=2"), "1");
  EXPECT_EQ(queryValue("a", "b=1&a=x+y=z"), "x+y=z");
  EXPECT_EQ(queryValue("a", "a="), "");
  EXPECT_EQ(queryValue("a", ""), std::nullopt);
  EXPECT_EQ(queryValue("a", "A=1"), std::nullopt) << "names compare exactly";
  EXPECT_EQ(queryValue("", "=v"), "v");
  EXPECT_EQ(queryValue("since", "&&since=4&"), "4");
}

TEST(MimeType, ByLowerCasedExtension) {
  EXPECT_EQ(mimeType("a/index.HTML"), "text/html; charset=utf-8");
  EXPECT_EQ(mimeType("s.css"), "text/css; charset=utf-8");
  EXPECT_EQ(mimeType("app.js"), "application/javascript; charset=utf-8");
  EXPECT_EQ(mimeType("p.png"), "image/png");
  EXPECT_EQ(mimeType("p.JPG"), "image/jpeg");
  EXPECT_EQ(mimeType("p.jpeg"), "image/jpeg");
  EXPECT_EQ(mimeType("p.webp"), "image/webp");
  for (const char* other : {"x.htm", "x.json", "x.mp3", "README", "x."}) {
    EXPECT_EQ(mimeType(other), "application/octet-stream") << other;
  }
}

TEST(PercentDecode, RejectsMalformedEscapes) {
  EXPECT_EQ(percentDecode("/a%20b"), "/a b");
  EXPECT_EQ(percentDecode("%2e%2E"), "..");
  EXPECT_EQ(percentDecode("/bad%zz"), std::nullopt);
  EXPECT_EQ(percentDecode("/end%2"), std::nullopt);
  EXPECT_EQ(percentDecode("/end%"), std::nullopt);
  EXPECT_EQ(percentDecode("%ff"), std::nullopt) << "not UTF-8";
  EXPECT_EQ(percentDecode("%252e"), "%2e") << "decoded once only";
}

TEST(RequestGuard, AllowsLocalNamesAndLiteralsOnly) {
  for (const char* host : {"127.0.0.1:8765", "127.0.0.1", "192.168.1.20:8765", "[::1]:8765",
                           "[fe80::1]", "localhost", "LOCALHOST:80", "app.localhost:1",
                           "studio.local", "studio.local.", "mybox", "MyBox:8765"}) {
    EXPECT_TRUE(isAllowedHost(host, "mybox")) << host;
  }
  for (const char* host : {"evil.example", "evil.example:8765", "", ":8765", "[::1",
                           "[zz]:1", "localhost.evil.com", "127.0.0.1:80x", "mybox.evil",
                           "1.2.3.4.5"}) {
    EXPECT_FALSE(isAllowedHost(host, "mybox")) << host;
  }
  EXPECT_FALSE(isAllowedHost("anything", "")) << "an unknown machine name matches nothing";
}

TEST(RequestGuard, RefusesForeignHostsAndCrossOriginRequests) {
  auto guard = [](const std::string& headers) {
    return guardResponse(requestInfo("POST /dmx HTTP/1.1\r\n" + headers + "\r\n"), "mybox");
  };
  EXPECT_FALSE(guard("")) << "plain clients without those headers pass";
  EXPECT_FALSE(guard("Host: 127.0.0.1:8765\r\n"));
  EXPECT_FALSE(guard("Host: 127.0.0.1:8765\r\nOrigin: http://127.0.0.1:8765\r\n"));
  auto host = guard("Host: attacker.example:8765\r\n");
  ASSERT_TRUE(host);
  EXPECT_TRUE(host->starts_with("HTTP/1.1 403 Forbidden\r\n"));
  EXPECT_TRUE(host->ends_with("\r\n\r\n{\"ok\":false,\"error\":\"forbidden_host\"}"));
  for (const char* origin : {"null", "http://evil.example", "https://127.0.0.1:8765",
                             "http://127.0.0.1:8766", "http://127.0.0.1:8765/"}) {
    auto refused = guard(std::string("Host: 127.0.0.1:8765\r\nOrigin: ") + origin + "\r\n");
    ASSERT_TRUE(refused) << origin;
    EXPECT_TRUE(refused->ends_with("{\"ok\":false,\"error\":\"forbidden_origin\"}")) << origin;
  }
  EXPECT_TRUE(guard("Origin: http://127.0.0.1:8765\r\n")) << "an origin without a host";
}

}  // namespace http_test
