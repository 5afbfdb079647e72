// The session player's routes, its event stream, the program's settings and own sessions, and
// the phone and screen relays fed by the player, over real connections; the player runs on a
// clock moved by hand.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "common/json.hpp"
#include "server/remote_control.hpp"
#include "server/screen_light.hpp"
#include "server/session_routes.hpp"
#include "server/tests/relay_test_support.hpp"
#include "session/session_player.hpp"
#include "session/timeline.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace session_routes_test {

using namespace solvera;
using namespace solvera::test;
using namespace std::chrono_literals;

namespace {

// Three phases of 30 s: red at 10 Hz, blue, green.
const char* kSession = R"({"id":"proef","title":"Proef","titleEn":"Trial","audioMode":"binaural","phases":[
  {"name":"Rood","start":"00:00","end":"00:30","audioFrequencyHz":"10","colorHex":"#ff0000","rgbIntensity":100},
  {"name":"Blauw","start":"00:30","end":"01:00","audioFrequencyHz":"10 → 6","colorHex":"#0000ff"},
  {"name":"Groen","start":"01:00","end":"01:30","audioFrequencyHz":"6","colorHex":"#00ff00"}]})";

class SessionRoutesTest : public ::testing::Test {
 protected:
  SessionRoutesTest() { server.dir().write("root/sessions/library.json", R"({"sessions":[)" + std::string(kSession) + "]}"); }

  static RouteSettings routes(FakeClock& clock, const TempDir& dir, std::shared_ptr<session::SessionPlayer>& player) {
    RouteSettings r = lanRoutes(clock, dir, {ipv4("eth0", "192.168.1.30")});
    session::SessionPlayer::Options options;
    options.clock = &clock;
    options.timer = false;  // the test ticks
    player = std::make_shared<session::SessionPlayer>(options);
    r.player = player;
    return r;
  }
  static StaticServer::Options options() {
    StaticServer::Options o;
    o.limits.keepAliveInterval = 300ms;
    return o;
  }

  Json call(const std::string& method, const std::string& target, const std::string& body = "",
            std::string* status = nullptr) {
    Reply reply = server.send(request(method, target, body));
    if (status) *status = reply.statusLine();
    return parseJson(reply.body()).value_or(Json());
  }
  Json post(const std::string& target, const std::string& body = "{}", std::string* status = nullptr) {
    return call("POST", target, body, status);
  }
  Json state() { return call("GET", "/session/state")["state"]; }
  // Moves the session's time on in ticks of 20 ms, as the player's own timer would.
  void advance(double seconds) {
    for (double done = 0; done < seconds; done += 0.02) {
      clock.advanceMs(20);
      player->tick();
    }
  }

  TempDir sources;
  FakeClock clock{1'000'000'000, 1'700'000'000'000.0};
  std::shared_ptr<session::SessionPlayer> player;
  RunningServer server{options(), routes(clock, sources, player)};
};

// The events of a stream as they come: "event: NAME" and its one data line.
class EventReader {
 public:
  explicit EventReader(std::uint16_t port, const std::string& target = "/session/events") : connection_(port) {
    connection_.send(request("GET", target));
  }
  std::string head() {
    connection_.readUntil(buffer_, [](const std::string& b) { return b.find("\r\n\r\n") != std::string::npos; });
    const auto end = buffer_.find("\r\n\r\n");
    if (end == std::string::npos) return {};
    std::string head = buffer_.substr(0, end + 4);
    buffer_.erase(0, end + 4);
    return head;
  }
  // The next block up to its blank line (an event, the retry hint or a comment); "" at the limit.
  std::string block(std::chrono::milliseconds limit = 20s) {
    if (!connection_.readUntil(buffer_, [](const std::string& b) { return b.find("\n\n") != std::string::npos; }, limit)) {
      return {};
    }
    const auto end = buffer_.find("\n\n");
    std::string block = buffer_.substr(0, end + 2);
    buffer_.erase(0, end + 2);
    return block;
  }
  // The next state event whose data satisfies `wanted`, skipping others; null at the limit.
  Json stateWhere(const std::function<bool(const Json&)>& wanted) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
      const std::string b = block(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
      if (!b.starts_with("event: state\ndata: ")) continue;
      const std::string data = b.substr(19, b.size() - 21);
      EXPECT_EQ(data.find('\n'), std::string::npos) << "one line of JSON: " << b;
      Json state = parseJson(data).value_or(Json());
      if (wanted(state)) return state;
    }
    return nullptr;
  }
  OpenConnection& connection() { return connection_; }

 private:
  OpenConnection connection_;
  std::string buffer_;
};

// Whether `holds` comes true within a generous limit (the relays follow the player's notices
// and the settings through the server's queue).
bool eventually(const std::function<bool()>& holds) {
  const auto limit = std::chrono::steady_clock::now() + 10s;
  while (!holds()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Every member of `shape` (and of its objects) is in `doc`; a message naming the first missing.
std::string missingMember(const Json& shape, const Json& doc, const std::string& at = "") {
  for (const auto& [key, value] : shape.items()) {
    if (!doc.contains(key)) return at + key;
    if (value.is_object()) {
      std::string inner = missingMember(value, doc[key], at + key + ".");
      if (!inner.empty()) return inner;
    }
  }
  return {};
}

std::string replyFor(StaticServer& server, const std::string& request, const Peer& peer,
                     std::shared_ptr<http::EventStream>* stream = nullptr) {
  std::string out;
  server.queue().sync([&] {
    server.respond(request, peer, [&](http::Response r) {
      out = r.flattened();
      if (stream) *stream = r.events;
    });
  });
  return out;
}

}  // namespace

TEST_F(SessionRoutesTest, StartSteerAndStopThePlayerAndItsRefusals) {
  std::string status;
  Json reply = post("/session/start", R"({"sessionId":"proef"})", &status);
  EXPECT_EQ(status, "HTTP/1.1 409 Conflict");
  EXPECT_EQ(reply["error"], "consent_required");
  EXPECT_FALSE(reply.value("message", "").empty()) << "the page shows a Dutch message";
  reply = post("/session/start", R"({"sessionId":"geen"})", &status);
  EXPECT_EQ(status, "HTTP/1.1 404 Not Found");
  EXPECT_EQ(reply["error"], "not_found");
  reply = post("/session/start", R"({"session":{"title":"Leeg","phases":[]}})", &status);
  EXPECT_EQ(status, "HTTP/1.1 400 Bad Request");
  EXPECT_EQ(reply["error"], "invalid_session");
  EXPECT_EQ(reply["reason"], "phases");
  EXPECT_EQ(post("/session/start", "[1]", &status)["error"], "invalid_json");

  // Sound only needs no consent; an edited session comes whole.
  reply = post("/session/start", R"({"soundOnly":true,"session":)" + std::string(kSession) + "}");
  ASSERT_EQ(reply["ok"], true) << reply;
  EXPECT_EQ(reply["state"]["soundOnly"], true);
  EXPECT_EQ(post("/session/stop")["changed"], true);

  EXPECT_EQ(post("/settings/consent", R"({"accepted":true})")["settings"]["photosensitivityAccepted"], true);
  reply = post("/session/start", R"({"sessionId":"proef"})", &status);
  ASSERT_EQ(status, "HTTP/1.1 200 OK") << reply;
  EXPECT_EQ(reply["state"]["state"], "running");
  EXPECT_EQ(reply["state"]["sessionId"], "proef");
  EXPECT_EQ(reply["state"]["phaseCount"], 3);
  EXPECT_EQ(reply["state"]["durationS"], 90);
  EXPECT_EQ(post("/session/start", R"({"sessionId":"proef"})", &status)["error"], "playing");
  EXPECT_EQ(status, "HTTP/1.1 409 Conflict");

  advance(31);
  Json whole = call("GET", "/session/state");
  EXPECT_EQ(whole["serverTimeMs"], clock.wallMs());
  EXPECT_EQ(whole["state"]["phaseIndex"], 1);
  EXPECT_EQ(whole["state"]["phaseName"], "Blauw");
  EXPECT_EQ(whole["state"]["gliding"], true) << "10 -> 6 glides in from the start of the phase";

  reply = post("/session/pause");
  EXPECT_EQ(reply["changed"], true);
  EXPECT_EQ(reply["state"]["state"], "paused");
  EXPECT_EQ(post("/session/pause")["changed"], false) << "already paused";
  reply = post("/session/seek", R"({"phase":2})");
  EXPECT_EQ(reply["state"]["phaseIndex"], 2);
  EXPECT_EQ(reply["state"]["state"], "paused") << "a paused session stays paused where it was put";
  EXPECT_EQ(post("/session/seek", R"({"seconds":"10"})", &status)["error"], "invalid_seek");
  EXPECT_EQ(post("/session/seek", R"({"seconds":45})")["state"]["elapsedS"], 45);

  EXPECT_EQ(post("/session/blackout", R"({"on":true})")["state"]["blackout"], true);
  EXPECT_EQ(post("/session/blackout", R"({"on":"yes"})", &status)["error"], "invalid_blackout");
  EXPECT_EQ(post("/session/resume")["state"]["state"], "running");
  advance(20);
  EXPECT_EQ(state()["phaseIndex"], 2);
  EXPECT_EQ(state()["blackout"], true) << "blackout holds through a phase change";

  reply = post("/session/stop");
  EXPECT_EQ(reply["changed"], true);
  EXPECT_NE(reply["state"]["state"], "running");
  EXPECT_EQ(post("/session/stop")["changed"], false);
  const Json record = call("GET", "/session/record")["record"];
  ASSERT_TRUE(record.is_object()) << record;
  EXPECT_EQ(record["outcome"], "stopped");
  std::string log = record["log"].dump() + record["events"].dump();
  EXPECT_NE(log.find("pause"), std::string::npos) << "the pause is in the record: " << log;
  EXPECT_NE(log.find("seek"), std::string::npos) << "and the seeks: " << log;
}

TEST_F(SessionRoutesTest, EventStreamGivesEveryClientTheStateAsItChanges) {
  EventReader first(server.port()), second(server.port());
  for (EventReader* reader : {&first, &second}) {
    const std::string head = reader->head();
    EXPECT_TRUE(head.starts_with("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream")) << head;
    EXPECT_EQ(head.find("Content-Length"), std::string::npos) << head;
    EXPECT_EQ(reader->block(), "retry: 1000\n\n");
    EXPECT_EQ(reader->stateWhere([](const Json&) { return true; })["state"], "idle") << "the state at once";
  }
  ASSERT_EQ(post("/settings/consent", R"({"accepted":true})")["ok"], true);
  ASSERT_EQ(post("/session/start", R"({"sessionId":"proef"})")["ok"], true);
  for (EventReader* reader : {&first, &second}) {
    EXPECT_EQ(reader->stateWhere([](const Json& s) { return s["state"] == "running"; })["sessionId"], "proef");
  }
  advance(31);
  EXPECT_EQ(first.stateWhere([](const Json& s) { return s["phaseIndex"] == 1; })["phaseName"], "Blauw");
  // A client that connects mid-session learns it at once.
  auto late = std::make_unique<EventReader>(server.port());
  late->head();
  late->block();
  EXPECT_EQ(late->stateWhere([](const Json&) { return true; })["phaseIndex"], 1);

  // Nothing to say: a comment keeps the stream alive, and the connection is not closed as idle.
  std::string quiet;
  for (int i = 0; i < 50 && quiet.empty(); ++i) {
    const std::string b = second.block();
    if (b.starts_with(":")) quiet = b;
  }
  EXPECT_EQ(quiet, ": keep-alive\n\n");

  // A client that goes is let go of.
  late.reset();
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (server.server().session().events().openStreams() > 2 && std::chrono::steady_clock::now() < deadline) {
    advance(1);  // a publish also prunes
    std::this_thread::yield();
  }
  EXPECT_EQ(server.server().session().events().openStreams(), 2u);

  // From another device the stream takes the control token in the query (an event source cannot
  // send headers); the other routes still want the header.
  const Peer lan{"192.168.1.20", false};
  const std::string token = server.server().controlToken();
  EXPECT_TRUE(replyFor(server.server(), request("GET", "/session/events"), lan).starts_with("HTTP/1.1 403"));
  EXPECT_TRUE(replyFor(server.server(), request("GET", "/session/events?token=" + std::string(32, '0')), lan)
                  .starts_with("HTTP/1.1 403"));
  EXPECT_TRUE(replyFor(server.server(), request("GET", "/session/state?token=" + token), lan).starts_with("HTTP/1.1 403"));
  EXPECT_TRUE(replyFor(server.server(), request("POST", "/session/stop", "{}"), lan).starts_with("HTTP/1.1 403"));
  std::shared_ptr<http::EventStream> stream;
  EXPECT_TRUE(replyFor(server.server(), request("GET", "/session/events?token=" + token), lan, &stream)
                  .starts_with("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream"));
  ASSERT_TRUE(stream);
  stream->detach();

  // The server stops: every stream ends.
  server.server().stop();
  EXPECT_TRUE(first.connection().readToEnd(20s).closedByServer);
  EXPECT_TRUE(second.connection().readToEnd(20s).closedByServer);
}

TEST_F(SessionRoutesTest, SettingsAndOwnSessionsAreTheProgramsAndPagesCarryTheirsOver) {
  Json reply = call("GET", "/settings");
  EXPECT_EQ(reply["fresh"], true);
  EXPECT_EQ(reply["settings"]["photosensitivityAccepted"], false);
  Json settings = reply["settings"];
  settings["controls"]["masterVolume"] = 40;
  settings["photosensitivityAccepted"] = true;
  std::string status;
  reply = call("PUT", "/settings", settings.dump(), &status);
  ASSERT_EQ(status, "HTTP/1.1 200 OK") << reply;
  EXPECT_EQ(reply["settings"]["photosensitivityAccepted"], false) << "only its own route grants the warning";
  reply = call("GET", "/settings");
  EXPECT_EQ(reply["fresh"], false);
  EXPECT_EQ(reply["settings"]["controls"]["masterVolume"], 40);
  EXPECT_TRUE(std::filesystem::exists(server.dir().path() / "config" / "settings.json"));

  // A page's local storage: its settings lose to the program's own, its sessions are merged.
  Json pageSettings = settings;
  pageSettings["controls"]["masterVolume"] = 10;
  Json own = parseJson(kSession).value();
  own["id"] = "van-de-pagina";
  reply = post("/settings/carry-over",
               Json{{"settings", pageSettings}, {"photosensitivityAccepted", true}, {"customSessions", {own}}}.dump());
  EXPECT_EQ(reply["ok"], true) << reply;
  EXPECT_EQ(reply["settings"]["controls"]["masterVolume"], 40);
  ASSERT_EQ(reply["sessions"].size(), 1u) << reply;
  EXPECT_EQ(reply["sessions"][0]["id"], "van-de-pagina");
  EXPECT_EQ(post("/settings/carry-over", Json{{"customSessions", {own}}}.dump())["sessions"].size(), 1u)
      << "the same session again is kept once";

  Json mine = parseJson(kSession).value();
  mine["title"] = "Mijn proef";
  reply = call("PUT", "/sessions/own/mijn%20proef", mine.dump(), &status);
  EXPECT_EQ(status, "HTTP/1.1 200 OK") << reply;
  EXPECT_EQ(reply["session"]["id"], "mijn proef") << "the path names the session";
  reply = call("PUT", "/sessions/own/kapot", R"({"title":"Kapot","phases":[]})", &status);
  EXPECT_EQ(status, "HTTP/1.1 400 Bad Request");
  EXPECT_FALSE(reply.value("message", "").empty()) << reply;
  reply = call("GET", "/sessions/own");
  ASSERT_EQ(reply["sessions"].size(), 2u) << reply;
  EXPECT_EQ(reply["sessions"][0]["id"], "mijn proef") << "newest first";

  // An own session plays by its id, ahead of a library session of the same id.
  own["id"] = "proef";
  own["title"] = "Eigen proef";
  ASSERT_EQ(call("PUT", "/sessions/own/proef", own.dump())["ok"], true);
  reply = post("/session/start", R"({"sessionId":"proef","soundOnly":true})");
  EXPECT_EQ(reply["state"]["title"], "Eigen proef") << reply;
  post("/session/stop");

  EXPECT_EQ(call("DELETE", "/sessions/own/mijn%20proef")["removed"], true);
  EXPECT_EQ(call("DELETE", "/sessions/own/mijn%20proef")["removed"], false);
  EXPECT_EQ(call("GET", "/sessions/own")["sessions"].size(), 2u);
}

TEST_F(SessionRoutesTest, PhoneAndScreenFollowAndSteerThePlayerWithNoPageOpen) {
  const std::string remote = server.server().remote().token();
  const std::string screen = server.server().screenLight().token();
  auto remoteState = [&] { return call("GET", "/remote/state?token=" + remote); };
  auto screenState = [&] { return call("GET", "/screen-light/state?token=" + screen); };
  auto command = [&](const std::string& body) { return post("/remote/command?token=" + remote, body); };

  EXPECT_EQ(remoteState()["session"]["running"], false) << "idle: the page's document as it stands";
  Json settings = call("GET", "/settings")["settings"];
  settings["light"]["targetIp"] = "127.0.0.1";
  settings["language"] = "en";
  ASSERT_EQ(call("PUT", "/settings", settings.dump())["ok"], true);
  ASSERT_EQ(post("/settings/consent", R"({"accepted":true})")["ok"], true);
  ASSERT_EQ(post("/session/start", R"({"sessionId":"proef"})")["ok"], true);
  advance(10);

  Json phone = remoteState();
  EXPECT_EQ(phone["session"]["title"], "Trial") << phone;
  EXPECT_EQ(phone["session"]["phase"], "Rood") << "no English name: the Dutch one";
  EXPECT_EQ(phone["session"]["running"], true);
  EXPECT_EQ(phone["session"]["paused"], false);
  EXPECT_EQ(phone["session"]["elapsed"], session::formatClock(10));
  EXPECT_EQ(phone["output"]["blackout"], false);
  EXPECT_EQ(phone["language"], "en");
  Json light = screenState();
  EXPECT_EQ(light["active"], true) << light;
  EXPECT_EQ(light["sessionTitle"], "Trial");
  EXPECT_TRUE(light["color"].get<std::string>().starts_with("#ff")) << "red at full strength: " << light;
  EXPECT_GT(light["intensity"], 0);
  EXPECT_EQ(light["frequencyHz"], 10);
  EXPECT_EQ(light["pulseMode"], "sync");

  // The phone's commands reach the player at once; the relays follow its notices, which
  // travel through the server's queue.
  EXPECT_EQ(command(R"({"type":"pause"})")["ok"], true);
  EXPECT_EQ(state()["state"], "paused");
  EXPECT_TRUE(eventually([&] { return remoteState()["session"]["paused"] == true; }));
  EXPECT_TRUE(eventually([&] { return screenState()["pulseMode"] == "steady"; })) << "paused: steady light";
  command(R"({"type":"blackout","value":true})");
  EXPECT_EQ(state()["blackout"], true);
  EXPECT_TRUE(eventually([&] { return remoteState()["output"]["blackout"] == true; }));
  EXPECT_TRUE(eventually([&] { return screenState()["active"] == false; })) << "blackout darkens screens too";
  command(R"({"type":"masterVolume","value":"30"})");
  EXPECT_EQ(call("GET", "/settings")["settings"]["controls"]["masterVolume"], 30);
  EXPECT_TRUE(eventually([&] { return remoteState()["controls"]["masterVolume"] == 30; }));
  command(R"({"type":"togglePause"})");
  EXPECT_EQ(state()["state"], "running");
  command(R"({"type":"stop"})");
  EXPECT_NE(state()["state"], "running");
  EXPECT_TRUE(eventually([&] { return remoteState()["session"]["running"] != true; }));
}

TEST_F(SessionRoutesTest, RelaysShowTheProgramsSettingsWhetherOrNotASessionPlays) {
  const std::string remote = server.server().remote().token();
  const std::string screen = server.server().screenLight().token();
  auto remoteState = [&] { return call("GET", "/remote/state?token=" + remote); };
  auto screenState = [&] { return call("GET", "/screen-light/state?token=" + screen); };
  const Json placeholders = parseJson(RemoteControl::kDefaultState).value();
  const Json resting = parseJson(ScreenLight::kDefaultState).value();

  // No settings of its own yet: the relays' placeholders.
  EXPECT_EQ(remoteState(), placeholders) << "fresh: the phone's placeholders";
  EXPECT_EQ(screenState(), resting) << "fresh: the screen's resting document";

  // Settings changed with nothing playing reach the phone and the screen.
  Json settings = call("GET", "/settings")["settings"];
  settings["controls"] = {{"masterVolume", 55}, {"rgbIntensity", 70}, {"whiteIntensity", 10},
                          {"audioEnabled", true}, {"musicEnabled", false}, {"outputEnabled", true}};
  settings["language"] = "en";
  ASSERT_EQ(call("PUT", "/settings", settings.dump())["ok"], true);
  ASSERT_TRUE(eventually([&] { return remoteState()["output"]["enabled"] == true; }))
      << "idle, the phone's light switch follows the settings: " << remoteState();
  Json phone = remoteState();
  EXPECT_EQ(missingMember(placeholders, phone), "") << "the document keeps its shape: " << phone;
  EXPECT_EQ(phone["updatedAt"], static_cast<std::int64_t>(clock.wallMs())) << phone;
  EXPECT_EQ(phone["session"]["running"], false);
  EXPECT_EQ(phone["session"]["title"], "Solvera Pro") << "no session: the resting title";
  EXPECT_FALSE(phone["session"].contains("elapsed")) << "no session: no times";
  EXPECT_EQ(phone["output"], Json({{"enabled", true}, {"blackout", false}}));
  EXPECT_EQ(phone["controls"], Json({{"masterVolume", 55}, {"rgbIntensity", 70}, {"whiteIntensity", 10}}));
  EXPECT_EQ(phone["audio"], Json({{"enabled", true}, {"musicPlaying", false}, {"musicEnabled", false}}));
  EXPECT_EQ(phone["language"], "en");
  ASSERT_TRUE(eventually([&] { return screenState()["language"] == "en"; })) << screenState();
  Json expected = resting;
  expected["language"] = "en";
  expected["updatedAt"] = static_cast<std::int64_t>(clock.wallMs());
  EXPECT_EQ(screenState(), expected) << "idle: the resting document in the program's language";

  // The phone's own switch, idle, is read back off; so is a page's change of the settings.
  post("/remote/command?token=" + remote, R"({"type":"output"})");
  EXPECT_EQ(call("GET", "/settings")["settings"]["controls"]["outputEnabled"], false);
  EXPECT_TRUE(eventually([&] { return remoteState()["output"]["enabled"] == false; }));
  settings["controls"]["rgbIntensity"] = 20;
  settings["controls"]["outputEnabled"] = false;
  ASSERT_EQ(call("PUT", "/settings", settings.dump())["ok"], true);
  EXPECT_TRUE(eventually([&] { return remoteState()["controls"]["rgbIntensity"] == 20; }));

  // After a session the settings stay, not the placeholders.
  ASSERT_EQ(post("/session/start", R"({"sessionId":"proef","soundOnly":true})")["ok"], true);
  advance(2);
  EXPECT_TRUE(eventually([&] { return remoteState()["session"]["running"] == true; }));
  post("/session/stop");
  EXPECT_TRUE(eventually([&] { return remoteState()["session"]["running"] == false; }));
  phone = remoteState();
  EXPECT_EQ(phone["output"]["enabled"], false) << phone;
  EXPECT_EQ(phone["controls"]["masterVolume"], 55) << phone;

  // A program started with settings of its own shows them from the start.
  TempDir sources2;
  std::shared_ptr<session::SessionPlayer> player2;
  RouteSettings r = routes(clock, sources2, player2);
  sources2.write("settings.json", settings.dump());
  r.settingsStore = std::make_shared<session::SettingsStore>(sources2.path() / "settings.json",
                                                             sources2.path() / "own.json");
  RunningServer started{options(), r};
  const std::string startedRemote = started.server().remote().token();
  auto startedState = [&] {
    return parseJson(started.send(request("GET", "/remote/state?token=" + startedRemote)).body()).value_or(Json());
  };
  EXPECT_TRUE(eventually([&] { return startedState()["controls"]["masterVolume"] == 55; }))
      << "at start: " << startedState();
  EXPECT_EQ(startedState()["language"], "en");
}

}  // namespace session_routes_test
