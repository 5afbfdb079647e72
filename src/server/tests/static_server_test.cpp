// The server over real TCP connections on an ephemeral port.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

#include "common/main_thread.hpp"
#include "server/tests/test_client.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace static_server_test {

using namespace solvera;
using namespace solvera::test;
namespace fs = std::filesystem;

namespace {

class StaticServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto& dir = server.dir();
    dir.write("root/index.html", "<h1>index</h1>");
    dir.write("root/remote.html", "remote page");
    dir.write("root/screen-light.html", "screen page");
    dir.write("root/app.JS", "js();");
    dir.write("root/sub/page.html", "sub");
    dir.write("root/music-libraryX/a.html", "not the library");
    dir.write("root/%2e%2e/secret", "literal folder name");
    dir.write("secret", "outside");
    dir.write("library/abc/track.mp3", "ID3");
    fs::create_symlink(dir.path() / "secret", server.root() / "link-out");
    fs::create_symlink(server.root() / "sub" / "page.html", server.root() / "link-in.html");
  }

  Reply get(const std::string& target) { return server.send(request("GET", target)); }

  RunningServer server;
};

}  // namespace

TEST_F(StaticServerTest, ServesFilesWithExactHeadsAndClosesEveryConnection) {
  auto index = get("/");
  EXPECT_EQ(index.bytes,
            "HTTP/1.1 200 OK\r\n"
            "Content-Type: text/html; charset=utf-8\r\n"
            "Content-Length: 14\r\n"
            "Connection: close\r\n"
            "Cache-Control: no-store\r\n"
            "\r\n"
            "<h1>index</h1>");
  EXPECT_TRUE(index.closedByServer);
  EXPECT_EQ(get("/index.html?x=1").body(), "<h1>index</h1>") << "query ignored";
  auto js = get("/app.JS");
  EXPECT_NE(js.head().find("Content-Type: application/javascript; charset=utf-8\r\n"),
            std::string::npos);
  EXPECT_EQ(get("/sub/page.html/").body(), "sub") << "trailing slashes removed";
  EXPECT_EQ(get("/link-in.html").body(), "sub") << "a link that stays inside is served";
  EXPECT_EQ(get("/bad%zz").body(), "<h1>index</h1>") << "a malformed escape serves the index";
  EXPECT_EQ(get("/remote?token=abc").body(), "remote page");
  EXPECT_EQ(get("/screen-light").body(), "screen page");
}

TEST_F(StaticServerTest, NeverLeavesTheFolders) {
  for (const char* target : {"/../secret", "/%2e%2e/secret", "/..%2fsecret", "/%2E%2E%2Fsecret",
                             "/sub/../../secret", "/link-out", "/sub", "/missing.html",
                             "/music-library/../secret", "/music-library/%2e%2e/../secret",
                             "/index.html%00.png", "//etc/passwd"}) {
    auto reply = get(target);
    EXPECT_EQ(reply.statusLine(), "HTTP/1.1 404 Not Found") << target;
    EXPECT_EQ(reply.body(), "Not found") << target;
    EXPECT_NE(reply.head().find("text/plain; charset=utf-8"), std::string::npos) << target;
  }
  EXPECT_EQ(get("/%252e%252e/secret").body(), "literal folder name")
      << "double encoding is decoded once and stays inside";
}

TEST_F(StaticServerTest, MusicLibraryPrefixRules) {
  auto track = get("/music-library/abc/track.mp3");
  EXPECT_EQ(track.body(), "ID3");
  EXPECT_NE(track.head().find("Content-Type: application/octet-stream\r\n"), std::string::npos);
  EXPECT_EQ(get("/music-library//abc/track.mp3/").body(), "ID3");
  EXPECT_EQ(get("/music-libraryX/a.html").body(), "not the library");
  EXPECT_EQ(get("/music-library").statusLine(), "HTTP/1.1 404 Not Found") << "the folder itself";
}

// The page asks on every load; "nothing installed" must be an answer, not a 404 in its log.
TEST_F(StaticServerTest, TheMusicLibrarysTracksAreAnAnswerEvenWhenNoneIsInstalled) {
  auto none = get("/music/library");
  EXPECT_EQ(none.statusLine(), "HTTP/1.1 200 OK");
  EXPECT_EQ(none.body(), R"({"ok":true,"installed":false,"tracks":[]})");
  server.dir().write("library/manifest.json", "{broken");
  EXPECT_EQ(get("/music/library").body(), none.body()) << "a broken manifest is no library";
  server.dir().write(
      "library/manifest.json",
      R"({"format":"solvera-music-library","tracks":[{"file":"abc/track.mp3","mood":"calm"}]})");
  EXPECT_EQ(get("/music/library").body(),
            R"({"ok":true,"installed":true,"tracks":[{"file":"abc/track.mp3","mood":"calm"}]})");
}

TEST_F(StaticServerTest, AnswersOnlyWhenTheBodyIsComplete) {
  auto reply = exchange(server.port(),
                        {"POST /index.html HTTP/1.1\r\nContent-", "Length: 6\r\n\r\nabc", "def"});
  EXPECT_FALSE(reply.repliedBeforeLastPiece);
  EXPECT_EQ(reply.statusLine(), "HTTP/1.1 200 OK");
  EXPECT_TRUE(reply.closedByServer);
}

TEST_F(StaticServerTest, APeerThatEndsItsSideIsAnsweredAndAnEmptyOneIsNot) {
  auto partial = exchange(server.port(), {"GET /sub/page.html HTTP/1.1\r\nHost: x"}, true);
  EXPECT_EQ(partial.body(), "<h1>index</h1>") << "an unfinished head falls back to the index";
  auto empty = exchange(server.port(), std::vector<std::string>{}, true);
  EXPECT_TRUE(empty.bytes.empty());
  EXPECT_TRUE(empty.closedByServer);
}

TEST_F(StaticServerTest, SizeLimitIsExactly524288Bytes) {
  auto sized = [](std::size_t total) {
    std::string head = "POST /index.html HTTP/1.1\r\nContent-Length: ";
    // Pick the body so that head + body is exactly `total` bytes.
    for (std::size_t digits = 1; digits < 8; ++digits) {
      std::size_t fixed = head.size() + digits + 4;
      std::size_t body = total - fixed;
      if (std::to_string(body).size() == digits) {
        return head + std::to_string(body) + "\r\n\r\n" + std::string(body, 'x');
      }
    }
    return std::string();
  };
  auto atLimit = sized(524288);
  ASSERT_EQ(atLimit.size(), 524288u);
  EXPECT_EQ(server.send(atLimit).statusLine(), "HTTP/1.1 200 OK");
  auto over = sized(524289);
  ASSERT_EQ(over.size(), 524289u);
  auto refused = server.send(over);
  EXPECT_TRUE(refused.bytes.empty()) << "closed without a reply";
  EXPECT_TRUE(refused.closedByServer);
}

TEST_F(StaticServerTest, RefusesForeignHostsAndOrigins) {
  auto host = server.send("POST /dmx HTTP/1.1\r\nHost: evil.example\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(host.statusLine(), "HTTP/1.1 403 Forbidden");
  EXPECT_EQ(host.body(), R"({"ok":false,"error":"forbidden_host"})");
  auto origin = server.send(request("GET", "/", "", "Origin: null\r\n"));
  EXPECT_EQ(origin.body(), R"({"ok":false,"error":"forbidden_origin"})");
  auto sameOrigin = server.send("GET / HTTP/1.1\r\nHost: localhost:1\r\nOrigin: http://localhost:1\r\n\r\n");
  EXPECT_EQ(sameOrigin.statusLine(), "HTTP/1.1 200 OK");
}

TEST_F(StaticServerTest, UnknownMethodsAndRoutesFallThroughToTheStaticLookup) {
  EXPECT_EQ(get("/dmx").statusLine(), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(server.send(request("OPTIONS", "/")).body(), "<h1>index</h1>");
  EXPECT_EQ(server.send(request("POST", "/remote")).body(), "Not found")
      << "only GET maps /remote to the page";
}

TEST(StaticServerPort, APortInUseFailsOnTheMainThreadWithoutTryingAnother) {
  int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  int no = 0;
  setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_addr = in6addr_any;
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(fd, 1), 0);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  std::uint16_t busy = ntohs(addr.sin6_port);

  TempDir dir;
  auto server = StaticServer::create({dir.path(), dir.path(), busy}, standardRoutes({}));
  bool ready = false;
  std::optional<Error> failure;
  std::thread::id failureThread;
  server->start([&] { ready = true; }, [&](const Error& e) {
    failure = e;
    failureThread = std::this_thread::get_id();
  });
  ASSERT_TRUE(mainthread::runUntil([&] { return ready || failure.has_value(); }));
  EXPECT_FALSE(ready);
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->code, EADDRINUSE);
  EXPECT_EQ(failureThread, std::this_thread::get_id());
  EXPECT_EQ(server->port(), busy) << "no other candidate is tried";
  server->stop();
  ::close(fd);
}

}  // namespace static_server_test
