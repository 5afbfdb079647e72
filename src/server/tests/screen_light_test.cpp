// The screen-light relay over real TCP connections, with a clock moved by hand.
#include <gtest/gtest.h>

#include "common/json.hpp"
#include "server/remote_control.hpp"
#include "server/screen_light.hpp"
#include "server/tests/relay_test_support.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace screen_light_test {

using namespace solvera;
using namespace solvera::test;

namespace {

class ScreenLightTest : public ::testing::Test {
 protected:
  void SetUp() override { server.dir().write("root/screen-light.html", "screen page"); }

  std::string token() { return server.server().screenLight().token(); }
  std::string withToken(const std::string& path) { return path + "?token=" + token(); }
  Reply get(const std::string& target) { return server.send(request("GET", target)); }
  Reply post(const std::string& target, const std::string& body) {
    return server.send(request("POST", target, body));
  }
  std::string status() { return get(withToken("/screen-light/client-status")).body(); }

  TempDir sources = [] {  // wlan0 is the Wi-Fi adapter
    TempDir dir;
    dir.write("net/wlan0/wireless/.keep", "");
    return dir;
  }();
  FakeClock clock{1'000'000'000, 1'700'000'000'000.0};
  RunningServer server{lanRoutes(clock, sources, {ipv4("eth0", "192.168.1.10"),
                                                   ipv4("wlan0", "192.168.1.20")})};
};

const std::string kDefaultState =
    R"({"ok":true,"updatedAt":0,"active":false,"frequencyHz":10,"pulseShape":"sine",)"
    R"("pulseMode":"sync","pulseEpochMs":0,"color":"#40c9ff","intensity":0,"language":"nl",)"
    R"("sessionTitle":"Solvera Pro","phase":"Stand-by"})";

}  // namespace

TEST_F(ScreenLightTest, InfoListsEveryPageAddressWifiFirstAndLoopbackLast) {
  const std::string t = token();
  ASSERT_EQ(t.size(), 32u);
  EXPECT_EQ(t.find_first_not_of("0123456789abcdef"), std::string::npos) << t;
  const std::string p = std::to_string(server.port());
  auto page = [&](const std::string& host) {
    return "\"http://" + host + ":" + p + "/screen-light?token=" + t + "\"";
  };
  EXPECT_EQ(get("/screen-light/info").bytes,
            jsonReply(R"({"ok":true,"token":")" + t + R"(","url":)" + page("192.168.1.20") +
                      R"(,"urls":[)" + page("192.168.1.20") + "," + page("192.168.1.10") + "," +
                      page("127.0.0.1") + R"(],"localUrl":)" + page("127.0.0.1") + "}"));

  // Without a LAN the loopback page is the only one, and the preferred one.
  RunningServer alone(lanRoutes(clock, sources, {}));
  const std::string loop = "http://127.0.0.1:" + std::to_string(alone.port()) +
                           "/screen-light?token=" + alone.server().screenLight().token();
  auto info = parseJson(alone.send(request("GET", "/screen-light/info")).body()).value_or(Json());
  EXPECT_EQ(info["url"], loop);
  EXPECT_EQ(info["urls"], Json::array({loop}));
}

TEST_F(ScreenLightTest, DefaultStateByteForByteAndPostedStateRelayedVerbatim) {
  EXPECT_EQ(get(withToken("/screen-light/state")).bytes, jsonReply(kDefaultState));

  const std::string invalid = jsonReply(R"({"ok":false,"error":"invalid_json"})", "400 Bad Request");
  for (const char* body : {"", "not json", "{\"color\":", "42", "true", "[1,]"}) {
    EXPECT_EQ(post(withToken("/screen-light/state"), body).bytes, invalid) << body;
  }
  EXPECT_EQ(get(withToken("/screen-light/state")).body(), kDefaultState);

  const std::string state = "\t{\"color\" : \"#ff0000\",\"frequencyHz\":7.830}\r\n";
  EXPECT_EQ(post(withToken("/screen-light/state"), state).bytes, jsonReply(R"({"ok":true})"));
  EXPECT_EQ(get(withToken("/screen-light/state")).bytes, jsonReply(state));
  EXPECT_EQ(post(withToken("/screen-light/state"), "nope").statusLine(), "HTTP/1.1 400 Bad Request");
  EXPECT_EQ(get(withToken("/screen-light/state")).body(), state) << "the previous state stays";

  EXPECT_EQ(post(withToken("/screen-light/state"), "[]").body(), R"({"ok":true})");
  EXPECT_EQ(get(withToken("/screen-light/state")).body(), "[]");
}

TEST_F(ScreenLightTest, ConnectedUpToExactly2500MsAfterTheLastActiveReport) {
  EXPECT_EQ(status(), R"({"ok":true,"connected":false,"lastSeenAt":0,"activeLastSeenAt":0,)"
                      R"("now":1700000000000})");
  clock.setWallMs(1'700'000'000'000.5);
  get(withToken("/screen-light/state"));
  EXPECT_EQ(status(), R"({"ok":true,"connected":false,"lastSeenAt":1700000000000.5,)"
                      R"("activeLastSeenAt":0,"now":1700000000000.5})")
      << "a state fetch alone is not an active screen";

  clock.advanceMs(100);
  EXPECT_EQ(post(withToken("/screen-light/client-active"), "").bytes, jsonReply(R"({"ok":true})"));
  clock.advanceMs(2500);
  EXPECT_EQ(status(), R"({"ok":true,"connected":true,"lastSeenAt":1700000000000.5,)"
                      R"("activeLastSeenAt":1700000000100.5,"now":1700000002600.5})");
  clock.advanceMs(1);
  EXPECT_EQ(parseJson(status()).value_or(Json())["connected"], false) << "2501 ms";
}

TEST_F(ScreenLightTest, WrongTokensAreRefusedWithoutTouchingTimeStamps) {
  const std::string forbidden =
      jsonReply(R"({"ok":false,"error":"invalid_token"})", "403 Forbidden");
  EXPECT_EQ(get("/screen-light/state?token=" + server.server().remote().token()).bytes, forbidden)
      << "the remote token does not open the screen light";
  EXPECT_EQ(get("/screen-light/state").bytes, forbidden);
  EXPECT_EQ(post("/screen-light/client-active?token=" + token().substr(0, 31) + "g", "").bytes,
            forbidden);
  EXPECT_EQ(post("/screen-light/state", "[]").bytes, forbidden);
  EXPECT_EQ(post("/screen-light/info", "").bytes, forbidden);
  EXPECT_EQ(status(), R"({"ok":true,"connected":false,"lastSeenAt":0,"activeLastSeenAt":0,)"
                      R"("now":1700000000000})");
  EXPECT_EQ(get(withToken("/screen-light/state")).body(), kDefaultState);

  for (const std::string& target :
       {withToken("/screen-light/client-active"), withToken("/screen-light/other")}) {
    EXPECT_EQ(get(target).body(), "Not found") << target << " falls through to the static lookup";
  }
  EXPECT_EQ(get("/screen-light?token=x").body(), "screen page");
}

}  // namespace screen_light_test
