// The remote-control relay over real TCP connections, with a clock moved by hand.
#include <gtest/gtest.h>

#include "common/json.hpp"
#include "server/remote_control.hpp"
#include "server/screen_light.hpp"
#include "server/tests/relay_test_support.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace remote_control_test {

using namespace solvera;
using namespace solvera::test;

namespace {

class RemoteControlTest : public ::testing::Test {
 protected:
  void SetUp() override { server.dir().write("root/remote.html", "remote page"); }

  std::string token() { return server.server().remote().token(); }
  std::string withToken(const std::string& path, const std::string& extra = "") {
    return path + "?token=" + token() + extra;
  }
  Reply get(const std::string& target) { return server.send(request("GET", target)); }
  Reply post(const std::string& target, const std::string& body) {
    return server.send(request("POST", target, body));
  }
  Json json(const Reply& reply) { return parseJson(reply.body()).value_or(Json()); }
  std::vector<std::int64_t> commandIds(const std::string& extra) {
    std::vector<std::int64_t> ids;
    Json reply = json(get(withToken("/remote/commands", extra)));
    for (const auto& c : reply["commands"]) ids.push_back(c["id"].get<std::int64_t>());
    return ids;
  }

  TempDir sources;
  FakeClock clock{1'000'000'000, 1'700'000'000'000.0};
  RunningServer server{lanRoutes(clock, sources, {ipv4("eth0", "192.168.1.30")})};
};

const std::string kForbidden = jsonReply(R"({"ok":false,"error":"invalid_token"})", "403 Forbidden");

}  // namespace

TEST_F(RemoteControlTest, InfoWithoutTokenAndTheDefaultStateByteForByte) {
  const std::string t = token();
  ASSERT_EQ(t.size(), 32u);
  EXPECT_EQ(t.find_first_not_of("0123456789abcdef"), std::string::npos) << t;
  EXPECT_NE(t, server.server().screenLight().token());
  const std::string port = std::to_string(server.port());
  EXPECT_EQ(get("/remote/info").bytes,
            jsonReply(R"({"ok":true,"token":")" + t + R"(","lastCommandId":0,)" +
                      R"("url":"http://192.168.1.30:)" + port + "/remote?token=" + t + R"(",)" +
                      R"("localUrl":"http://127.0.0.1:)" + port + "/remote?token=" + t + R"("})"));

  EXPECT_EQ(
      get(withToken("/remote/state")).bytes,
      jsonReply(R"({"ok":true,"updatedAt":0,"connected":false,)"
                R"("session":{"title":"Solvera Pro","timer":"--:--","running":false,"paused":false},)"
                R"("output":{"enabled":false,"blackout":false},)"
                R"("controls":{"masterVolume":100,"rgbIntensity":0,"whiteIntensity":25},)"
                R"("audio":{"enabled":false,"musicPlaying":false}})"));

  RunningServer other;
  EXPECT_NE(other.server().remote().token(), t) << "each server makes its own token";
}

TEST_F(RemoteControlTest, EveryOtherPathNeedsTheTokenAndWrongMethodsFallThrough) {
  const std::string t = token();
  std::string upper = t;
  for (char& c : upper) c = static_cast<char>(std::toupper(c));
  for (const std::string& target : std::vector<std::string>{
           "/remote/state", "/remote/state?token=", "/remote/state?token",
           "/remote/state?token=" + upper, "/remote/state?token=" + t.substr(1),
           "/remote/state?token=" + t + "0", "/remote/state?tok=" + t, "/remote/"}) {
    EXPECT_EQ(get(target).bytes, kForbidden) << target;
  }
  EXPECT_EQ(post("/remote/command", R"({"type":"start"})").bytes, kForbidden);
  EXPECT_EQ(post("/remote/info", "").bytes, kForbidden) << "info is open to GET only";
  EXPECT_EQ(post("/remote/state?x=1&token=" + t + "&y=2", "{}").body(), R"({"ok":true})")
      << "the token anywhere in the query";
  EXPECT_EQ(json(get(withToken("/remote/client-status")))["lastSeenAt"], 0)
      << "refused state fetches leave the time stamp alone";

  for (const std::string& target : {withToken("/remote/command"), withToken("/remote/unknown")}) {
    EXPECT_EQ(get(target).body(), "Not found") << target << " falls through to the static lookup";
  }
  EXPECT_EQ(post(withToken("/remote/commands"), "").statusLine(), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(get("/remote?token=" + t).body(), "remote page");
}

TEST_F(RemoteControlTest, StateIsRelayedVerbatimAndOnlyValidDocumentsReplaceIt) {
  const std::string state = "{ \"title\" : \"Alfa \xC3\xA9\xC3\xA9n\", \"n\": [1, 2.50, 1e3] }\n";
  EXPECT_EQ(post(withToken("/remote/state"), state).bytes, jsonReply(R"({"ok":true})"));
  EXPECT_EQ(get(withToken("/remote/state")).bytes, jsonReply(state));

  const std::string invalid = jsonReply(R"({"ok":false,"error":"invalid_json"})", "400 Bad Request");
  for (const char* body : {"", "nope", "{", "5", "\"text\"", "null", "{}{}", "{\"a\":\"\xFF\"}",
                           "{/*c*/}"}) {
    EXPECT_EQ(post(withToken("/remote/state"), body).bytes, invalid) << body;
  }
  EXPECT_EQ(post(withToken("/remote/state"), std::string("{}\0garbage", 10)).bytes, invalid)
      << "a NUL byte does not end the document";
  EXPECT_EQ(get(withToken("/remote/state")).body(), state) << "the last good state stays";

  EXPECT_EQ(post(withToken("/remote/state"), "[]").body(), R"({"ok":true})");
  EXPECT_EQ(get(withToken("/remote/state")).body(), "[]");
}

TEST_F(RemoteControlTest, CommandQueueKeepsTheLast80WithIdsThatNeverRepeat) {
  for (int i = 1; i <= 81; ++i) {
    ASSERT_EQ(post(withToken("/remote/command"), R"({"type":"tick"})").body(),
              R"({"ok":true,"id":)" + std::to_string(i) + "}");
  }
  std::vector<std::int64_t> twoTo81;
  for (int i = 2; i <= 81; ++i) twoTo81.push_back(i);
  for (const char* zero : {"&since=0", "", "&since=abc", "&since=79x", "&since=%2079",
                           "&since=+-79", "&since=99999999999999999999", "&since=-5"}) {
    EXPECT_EQ(commandIds(zero), twoTo81) << zero << " counts as 0";
  }
  EXPECT_EQ(commandIds("&since=79"), (std::vector<std::int64_t>{80, 81}));
  EXPECT_EQ(commandIds("&since=+80"), (std::vector<std::int64_t>{81}));
  EXPECT_EQ(get(withToken("/remote/commands", "&since=81")).body(), R"({"ok":true,"commands":[]})");
  EXPECT_EQ(json(get("/remote/info"))["lastCommandId"], 81);

  // Large commands keep to a byte budget: a poll never carries tens of megabytes.
  std::string big = R"({"type":"note","value":")" + std::string(500000, 'n') + R"("})";
  for (int i = 0; i < 3; ++i) ASSERT_EQ(json(post(withToken("/remote/command"), big))["ok"], true);
  auto all = get(withToken("/remote/commands"));
  EXPECT_EQ(commandIds(""), (std::vector<std::int64_t>{83, 84})) << "the oldest went first";
  EXPECT_LT(all.body().size(), 1'100'000u);
}

TEST_F(RemoteControlTest, CommandRecordsCopyTypeAndValueAndRefuseOtherBodies) {
  clock.setWallMs(1'700'000'000'123.9);
  EXPECT_EQ(post(withToken("/remote/command"), R"({"type":"pause"})").body(), R"({"ok":true,"id":1})");
  EXPECT_EQ(post(withToken("/remote/command"), R"({"value":null,"type":"blackout"})").body(),
            R"({"ok":true,"id":2})");
  EXPECT_EQ(post(withToken("/remote/command"),
                 R"({"type":"volume","value":{"z":1,"a":[0.5,"é",true]},"extra":1})")
                .body(),
            R"({"ok":true,"id":3})");

  const std::string invalid =
      jsonReply(R"({"ok":false,"error":"invalid_command"})", "400 Bad Request");
  for (const char* body : {R"({"type":5})", R"([{"type":"pause"}])", "", "pause", R"({})",
                           R"({"type":null})", R"({"type":["pause"]})", R"("pause")"}) {
    EXPECT_EQ(post(withToken("/remote/command"), body).bytes, invalid) << body;
  }
  // Values nested deeper than 64 levels are refused: writing them back would exhaust the stack.
  auto nested = [](int levels) {
    return R"({"type":"deep","value":)" + std::string(levels, '[') + std::string(levels, ']') + "}";
  };
  EXPECT_EQ(post(withToken("/remote/command"), nested(65)).bytes, invalid);
  EXPECT_EQ(post(withToken("/remote/command"), nested(200000)).bytes, invalid);
  EXPECT_EQ(post(withToken("/remote/command"), R"({"type":""})").body(), R"({"ok":true,"id":4})")
      << "refused commands use no id";
  EXPECT_EQ(post(withToken("/remote/command"), nested(64)).body(), R"({"ok":true,"id":5})");

  EXPECT_EQ(get(withToken("/remote/commands", "&since=0")).body(),
            R"({"ok":true,"commands":[)"
            R"({"id":1,"type":"pause","createdAt":1700000000123},)"
            R"({"id":2,"type":"blackout","createdAt":1700000000123,"value":null},)"
            R"({"id":3,"type":"volume","createdAt":1700000000123,"value":{"z":1,"a":[0.5,"é",true]}},)"
            R"({"id":4,"type":"","createdAt":1700000000123},)" +
                std::string(R"({"id":5,"type":"deep","createdAt":1700000000123,"value":)") +
                std::string(64, '[') + std::string(64, ']') + "}]}");
}

TEST_F(RemoteControlTest, ConnectedForTwoAndAHalfSecondsAfterAStateFetch) {
  EXPECT_EQ(get(withToken("/remote/client-status")).body(),
            R"({"ok":true,"connected":false,"lastSeenAt":0,"now":1700000000000})");
  get(withToken("/remote/state"));
  EXPECT_EQ(get(withToken("/remote/client-status")).body(),
            R"({"ok":true,"connected":true,"lastSeenAt":1700000000000,"now":1700000000000})");
  clock.advanceMs(2500);
  EXPECT_EQ(json(get(withToken("/remote/client-status")))["connected"], true) << "2500 ms";
  clock.advanceMs(1);
  EXPECT_EQ(json(get(withToken("/remote/client-status")))["connected"], false) << "2501 ms";

  clock.setWallMs(1'700'000'010'000.25);
  get(withToken("/remote/state"));
  clock.advanceMs(0.5);
  EXPECT_EQ(get(withToken("/remote/client-status")).body(),
            R"({"ok":true,"connected":true,"lastSeenAt":1700000010000.25,"now":1700000010000.75})")
      << "fractions of a millisecond kept";
}

TEST_F(RemoteControlTest, APhoneOnTheLanPassesTheRequestGuard) {
  // What a phone's browser sends after opening the address from /remote/info.
  const std::string body = R"({"type":"start"})";
  auto reply = server.send("POST /remote/command?token=" + token() +
                           " HTTP/1.1\r\nHost: 192.168.1.30:8765\r\n"
                           "Origin: http://192.168.1.30:8765\r\nContent-Type: application/json\r\n"
                           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
  EXPECT_EQ(reply.body(), R"({"ok":true,"id":1})");
}

}  // namespace remote_control_test
