// POST "/dmx", GET "/dmx/serial-ports" and the blackout of all outputs, over real HTTP
// connections to a server on an ephemeral port.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "common/json.hpp"
#include "dmx/artnet_discovery.hpp"
#include "dmx/dmx_wire.hpp"
#include "dmx/frame_schedule.hpp"
#include "dmx/tests/dmx_test_support.hpp"
#include "server/dmx_routes.hpp"
#include "server/tests/test_client.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace dmx_routes_test {

using namespace solvera;
using namespace solvera::dmx::test;

namespace {

// Serial devices of this test live in a folder of their own, set before the server (and so
// its senders) exist.
class DmxRoutesTest : public ::testing::Test {
 protected:
  DmxRoutesTest() { ::setenv("SOLVERA_SERIAL_DIR", devices.path().c_str(), 1); }
  ~DmxRoutesTest() override {
    server.reset();
    ::unsetenv("SOLVERA_SERIAL_DIR");
  }
  void SetUp() override {
    RouteSettings routes;
    routes.clock = &clock;  // the USB Pro search interval follows this clock, not the machine's
    server = std::make_unique<test::RunningServer>(routes);
  }

  test::Reply post(const std::string& body) {
    return server->send(test::request("POST", "/dmx", body, "Content-Type: application/json\r\n"));
  }
  std::string devicePath(const std::string& name) const { return (devices.path() / name).string(); }
  DmxRoutes& routes() { return server->server().dmx(); }

  test::TempDir devices;
  FakeClock clock;
  std::unique_ptr<test::RunningServer> server;
};

Json bodyJson(const test::Reply& reply) { return parseJson(reply.body()).value_or(Json()); }

}  // namespace

TEST_F(DmxRoutesTest, ArtNetIsTheDefaultOutput) {
  ArtNetReceiver node;
  auto reply = post(R"({"targetIp":")" + node.address() + R"(","universe":7,"dmx":[1,2,3]})");
  EXPECT_EQ(reply.statusLine(), "HTTP/1.1 200 OK");
  EXPECT_NE(reply.head().find("Content-Type: application/json\r\n"), std::string::npos);
  EXPECT_EQ(reply.body(), R"({"ok":true,"outputMode":"artnet"})");
  auto packet = node.receive();
  ASSERT_TRUE(packet);
  const auto expected = dmx::buildArtDmxPacket(std::vector<std::uint8_t>{1, 2, 3}, 7);
  EXPECT_EQ(*packet, Bytes(expected.begin(), expected.end()));

  auto named = post(R"({"outputMode":"artnet","targetIp":")" + node.address() +
                    R"(","universe":7,"dmx":[4],"clientId":"x"})");
  EXPECT_EQ(named.body(), R"({"ok":true,"outputMode":"artnet"})");
  auto unknownMode = post(R"({"outputMode":"dmx-over-carrier-pigeon","targetIp":")" + node.address() +
                          R"(","universe":7,"dmx":[5]})");
  EXPECT_EQ(unknownMode.body(), R"({"ok":true,"outputMode":"artnet"})") << "any other mode is Art-Net";
}

TEST_F(DmxRoutesTest, FailuresAnswer400WithTheErrorAndTheSerialPorts) {
  devices.write("ttyUSB3", "");  // a candidate that is no terminal
  auto failure = [&](const std::string& body) {
    auto reply = post(body);
    EXPECT_EQ(reply.statusLine(), "HTTP/1.1 400 Bad Request") << body;
    auto json = bodyJson(reply);
    EXPECT_EQ(json["ok"], false) << body;
    EXPECT_EQ(json["availablePorts"], Json::array({devicePath("ttyUSB3")})) << body;
    return json["error"].is_string() ? json["error"].get<std::string>() : std::string("(none)");
  };
  for (const char* target : {"192.168.1.10:6454", " 127.0.0.1", "", "127.0.0.1/8", "ä.example"}) {
    EXPECT_EQ(failure(R"({"targetIp":")" + std::string(target) + R"(","universe":1,"dmx":[1]})"),
              "Invalid target IP")
        << target;
  }
  EXPECT_EQ(failure(R"({"targetIp":"localhost","universe":1,"dmx":[1]})"), "Ongeldig Art-Net IP-adres.")
      << "a name passes the route's check and is refused by the Art-Net output";
  EXPECT_EQ(failure(R"({"targetIp":"my-node.local","universe":1,"dmx":[1]})"), "Ongeldig Art-Net IP-adres.");
  EXPECT_EQ(failure(R"({"targetIp":"8.8.8.8","universe":1,"dmx":[1]})"),
            "Art-Net-adres 8.8.8.8 ligt niet in het eigen netwerk. Kies een lamp of node in een subnet van deze "
            "computer, het broadcastadres van dat subnet of 127.0.0.1.")
      << "nobody else's network";
  EXPECT_FALSE(failure("this is not json").empty());
  EXPECT_EQ(failure(R"({"targetIp":"127.0.0.1","universe":1,"dmx":[1.5]})"),
            "Ongeldig DMX-verzoek: \"dmx\" element 0 moet een geheel getal van 0 tot 255 zijn.");
  EXPECT_TRUE(failure(R"({"outputMode":"enttec-usb-pro","universe":1,"dmx":[1]})").starts_with(
      "Ongeldig DMX-verzoek: "))
      << "targetIp is required even for a serial output";
  EXPECT_EQ(failure(R"({"outputMode":"open-dmx-ftdi","targetIp":"","universe":1,"dmx":[1],"serialPort":")" +
                    devicePath("ttyUSB9") + "\"}"),
            "Gekozen FTDI/Open DMX poort kon niet worden geopend. " + devicePath("ttyUSB3") +
                ": serial config mislukt")
      << "serial outputs do not check targetIp";
  EXPECT_EQ(failure(R"({"outputMode":"enttec-usb-pro","targetIp":"","universe":1,"dmx":[1]})"),
            "Geen Enttec DMX USB Pro seriële poort gevonden.");
  EXPECT_EQ(failure(R"({"outputMode":"enttec-usb-pro","targetIp":"","universe":1,"dmx":[1]})"),
            "Enttec DMX USB Pro wordt gezocht.");
}

TEST_F(DmxRoutesTest, SerialOutputsAnswerWithTheirOwnBodiesAndStopTheOthers) {
  ArtNetReceiver node;
  FakeSerialDevice widget(devices.path() / "cu.usbserial-EN1");
  FakeSerialDevice adapter(devices.path() / "cu.FT1");  // an Open DMX name, not a USB Pro one

  EXPECT_EQ(post(R"({"targetIp":")" + node.address() + R"(","universe":0,"dmx":[9]})").body(),
            R"({"ok":true,"outputMode":"artnet"})");
  ASSERT_TRUE(node.receive());

  // The widget's name is an Open DMX candidate too (and ranks first): ask for the adapter.
  auto openDmx = post(R"({"outputMode":"open-dmx-ftdi","targetIp":"","universe":0,"dmx":[1,2],"serialPort":")" +
                      devicePath("cu.FT1") + "\"}");
  EXPECT_EQ(openDmx.statusLine(), "HTTP/1.1 200 OK");
  EXPECT_EQ(openDmx.body(), R"({"ok":true,"outputMode":"open-dmx-ftdi"})");
  Bytes line{0x00};
  auto payload = dmx::dmxPayload(std::vector<std::uint8_t>{1, 2});
  line.insert(line.end(), payload.begin(), payload.end());
  EXPECT_TRUE(adapter.waitForSequence(line));
  EXPECT_FALSE(routes().artNetSender().status().stream) << "Art-Net stopped";

  auto enttec = post(R"({"outputMode":"enttec-usb-pro","targetIp":"","universe":0,"dmx":[3]})");
  EXPECT_EQ(enttec.body(), R"({"ok":true,"outputMode":"enttec-usb-pro"})");
  EXPECT_TRUE(widget.waitForSequence(
      dmx::usbProMessage(dmx::kUsbProSendDmxLabel, dmx::dmxPayload(std::vector<std::uint8_t>{3}))));
  auto ftdi = routes().openDmxFtdiSender().status();
  EXPECT_FALSE(ftdi.streaming || ftdi.timerRunning || ftdi.openPort) << "the FTDI output stopped";

  // Back to Art-Net: the USB Pro output stops too.
  EXPECT_EQ(post(R"({"targetIp":")" + node.address() + R"(","universe":0,"dmx":[9]})").body(),
            R"({"ok":true,"outputMode":"artnet"})");
  EXPECT_FALSE(routes().enttecUsbProSender().status().streaming);
}

TEST_F(DmxRoutesTest, AFrameOvertakenOnTheWayByALaterOneOfTheSamePageChangesNothing) {
  ArtNetReceiver node;
  auto frame = [&](const std::string& client, const std::string& seq, const std::string& dmx,
                   const std::string& mode = "artnet") {
    return post(R"({"outputMode":")" + mode + R"(","targetIp":")" + node.address() +
                R"(","universe":1,"dmx":[)" + dmx + R"(],"clientId":")" + client +
                R"(","seq":)" + seq + "}");
  };
  auto packet = [](std::vector<std::uint8_t> dmx) {
    auto bytes = dmx::buildArtDmxPacket(dmx, 1);
    return Bytes(bytes.begin(), bytes.end());
  };
  // A changed frame goes out as soon as the line has room for it.
  auto followed = [&](std::vector<std::uint8_t> dmx) {
    for (auto p = node.receive(60s); p; p = node.receive(60s)) {
      if (*p == packet(dmx)) return true;
    }
    return false;
  };
  auto onlyRepeats = [&](std::vector<std::uint8_t> dmx) {
    auto packets = node.drain();
    return std::all_of(packets.begin(), packets.end(),
                       [&](const Bytes& p) { return p == packet(dmx); });
  };

  // The page's closing blackout (7) arrives before a lit frame (6) it sent just before.
  EXPECT_EQ(frame("control-a", "7", "0,0").body(), R"({"ok":true,"outputMode":"artnet"})");
  EXPECT_TRUE(followed({0, 0}));
  auto late = frame("control-a", "6", "200,200");
  EXPECT_EQ(late.statusLine(), "HTTP/1.1 200 OK");
  EXPECT_EQ(late.body(), R"({"ok":true,"outputMode":"artnet"})");
  EXPECT_TRUE(onlyRepeats({0, 0})) << "still dark";
  // Nor may it switch to another output.
  EXPECT_EQ(frame("control-a", "5", "9", "enttec-usb-pro").body(),
            R"({"ok":true,"outputMode":"enttec-usb-pro"})");
  EXPECT_TRUE(routes().artNetSender().status().stream) << "Art-Net still streams";
  EXPECT_TRUE(onlyRepeats({0, 0}));
  // The same number again (a blackout sent twice), another page, and frames without a number
  // are all followed.
  frame("control-a", "7", "0,1");
  EXPECT_TRUE(followed({0, 1}));
  frame("control-b", "1", "0,2");
  EXPECT_TRUE(followed({0, 2}));
  post(R"({"targetIp":")" + node.address() +
       R"(","universe":1,"dmx":[0,3],"clientId":"control-a"})");
  EXPECT_TRUE(followed({0, 3}));
  frame("control-a", "8", "0,4");
  EXPECT_TRUE(followed({0, 4}));

  auto bad = frame("control-a", "\"9\"", "1");
  EXPECT_EQ(bad.statusLine(), "HTTP/1.1 400 Bad Request");
  EXPECT_EQ(bodyJson(bad)["error"],
            "Ongeldig DMX-verzoek: \"seq\" moet een geheel getal van 0 of meer zijn.");
}

TEST_F(DmxRoutesTest, SerialPortListAndWhatIsNotALightRequest) {
  auto empty = server->send(test::request("GET", "/dmx/serial-ports"));
  EXPECT_EQ(empty.statusLine(), "HTTP/1.1 200 OK");
  EXPECT_EQ(empty.body(), R"({"ok":true,"ports":[]})");

  devices.write("ttyUSB10", "");
  devices.write("ttyUSB2", "");
  devices.write("cu.FT7", "");
  devices.write("ttyS0", "");
  auto listed = server->send(test::request("GET", "/dmx/serial-ports?x=1"));
  EXPECT_EQ(bodyJson(listed),
            Json::parse(R"({"ok":true,"ports":[")" + devicePath("cu.FT7") + R"(",")" +
                        devicePath("ttyUSB2") + R"(",")" + devicePath("ttyUSB10") + R"("]})"));

  devices.write(std::string("cu.FT\xff"), "");
  EXPECT_EQ(server->send(test::request("GET", "/dmx/serial-ports")).body(), R"({"ok":false,"ports":[]})")
      << "a device name that is not UTF-8 cannot be listed";

  EXPECT_EQ(server->send(test::request("GET", "/dmx")).statusLine(), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(server->send(test::request("POST", "/dmx/serial-ports")).statusLine(),
            "HTTP/1.1 404 Not Found");
}

TEST_F(DmxRoutesTest, BlackoutOfAllOutputsReturnsAtOnceAndSendsOneBlackFrame) {
  ArtNetReceiver node;
  EXPECT_EQ(post(R"({"targetIp":")" + node.address() + R"(","universe":2,"dmx":[200,100]})").body(),
            R"({"ok":true,"outputMode":"artnet"})");
  ASSERT_TRUE(node.receive());
  server->server().blackoutDmxOutputs();
  EXPECT_FALSE(routes().artNetSender().status().stream);
  auto packets = node.drain();
  ASSERT_FALSE(packets.empty());
  const auto black = dmx::buildArtDmxPacket({}, 2);
  EXPECT_EQ(packets.back(), Bytes(black.begin(), black.end()));
  EXPECT_EQ(std::count(packets.begin(), packets.end(), Bytes(black.begin(), black.end())), 1);
}

TEST_F(DmxRoutesTest, LimitsTellThePageWhatEachOutputShowsAndTheOutputsKeepToThem) {
  auto limits = [&](const std::string& query) {
    auto reply = server->send(test::request("GET", "/dmx/limits" + query));
    EXPECT_EQ(reply.statusLine(), "HTTP/1.1 200 OK") << query;
    return bodyJson(reply);
  };
  auto artnet = limits("");
  EXPECT_EQ(artnet["outputMode"], "artnet");
  EXPECT_EQ(artnet["slots"], 512);
  EXPECT_EQ(artnet["framesPerSecond"], 43.9);
  EXPECT_EQ(artnet["maxPulseHz"], Json::parse(R"({"sine":10.98,"triangle":10.98,"square":21.96,
      "trapezoid":8.78,"sawtooth":10.98})"));
  auto shortArtnet = limits("?outputMode=artnet&channels=7&shortFrames=1");
  EXPECT_EQ(shortArtnet["slots"], 8) << "Art-Net lengths are even";
  EXPECT_EQ(shortArtnet["maxPulseHz"]["trapezoid"], 40.0);
  EXPECT_EQ(limits("?outputMode=enttec-usb-pro&channels=3&shortFrames=1")["slots"], 24);
  auto openDmx = limits("?outputMode=open-dmx-ftdi&channels=3");
  EXPECT_EQ(openDmx["slots"], 512) << "short frames only when asked for";
  EXPECT_LT(openDmx["maxPulseHz"]["sine"].get<double>(), artnet["maxPulseHz"]["sine"].get<double>())
      << "we make the break ourselves, so the line is a little slower";

  // Exactly at the limit the lamps pulse; just above it they hold the mean.
  ArtNetReceiver node;
  auto pulse = [&](double hz) {
    return R"({"targetIp":")" + node.address() + R"(","universe":1,"dmx":[200],"pulseChannels":[1],"pulseShape":"sine","pulseHz":)" +
           std::to_string(hz) + "}";
  };
  EXPECT_EQ(post(pulse(10.98)).body(), R"({"ok":true,"outputMode":"artnet"})");
  EXPECT_EQ(routes().artNetSender().status().schedule.kind, dmx::FrameSchedule::Kind::Pulsed);
  EXPECT_EQ(post(pulse(10.99)).body(), R"({"ok":true,"outputMode":"artnet"})");
  EXPECT_EQ(routes().artNetSender().status().schedule.kind, dmx::FrameSchedule::Kind::Mean);
}

TEST_F(DmxRoutesTest, SeveralOutputsAtOnceAndTheNodesThatAnswered) {
  ArtNetReceiver node, sacnReceiver(5568);
  FakeArtNetNode lamp([](const std::string& self) { return artPollReplyBytes(bytesOf(self), "Lamp", "Lamp by the chair"); });
  dmx::ArtNetDiscovery::Settings discovery;
  discovery.bindAddress = uniqueLoopbackAddress();
  discovery.pollTargets = [&] { return std::vector<std::string>{lamp.address()}; };
  discovery.window = 500ms;
  RouteSettings settings;
  settings.clock = &clock;
  settings.artNetDiscovery = std::make_shared<dmx::ArtNetDiscovery>(discovery);
  server = std::make_unique<test::RunningServer>(settings);

  // Shared keys (the frame) with each output's own; the unplugged widget fails alone.
  auto reply = post(R"({"dmx":[40],"universe":1,"targetIp":"","outputs":[)"
                    R"({"outputMode":"artnet","targetIp":")" + node.address() + R"("},)"
                    R"({"outputMode":"sacn","targetIp":")" + sacnReceiver.address() +
                    R"(","universe":9,"priority":150,"sourceName":"Kamer"},)"
                    R"({"outputMode":"enttec-usb-pro","serialPort":")" + devicePath("ttyUSB9") + R"("}]})");
  EXPECT_EQ(reply.statusLine(), "HTTP/1.1 200 OK");
  auto json = bodyJson(reply);
  EXPECT_EQ(json["ok"], false) << reply.body();
  ASSERT_EQ(json["outputs"].size(), 3u) << reply.body();
  EXPECT_EQ(json["outputs"][0], (Json{{"outputMode", "artnet"}, {"ok", true}}));
  EXPECT_EQ(json["outputs"][1], (Json{{"outputMode", "sacn"}, {"ok", true}}));
  EXPECT_EQ(json["outputs"][2]["outputMode"], "enttec-usb-pro");
  EXPECT_EQ(json["outputs"][2]["ok"], false);
  EXPECT_FALSE(json["outputs"][2]["error"].get<std::string>().empty());
  EXPECT_TRUE(json["availablePorts"].is_array());
  auto artNet = node.receive();
  ASSERT_TRUE(artNet);
  EXPECT_EQ((*artNet)[18], 40) << "Art-Net channel 1";
  auto sacn = sacnReceiver.receive();
  ASSERT_TRUE(sacn);
  EXPECT_EQ((*sacn)[108], 150) << "sACN priority";
  EXPECT_EQ((*sacn)[126], 40) << "sACN channel 1";

  auto refused = [&](const std::string& body) {
    auto r = post(body);
    EXPECT_EQ(r.statusLine(), "HTTP/1.1 400 Bad Request") << body;
    return bodyJson(r)["error"].get<std::string>();
  };
  EXPECT_EQ(refused(R"({"outputMode":"sacn","targetIp":"","universe":0,"dmx":[1]})"),
            "Een sACN-universe ligt tussen 1 en 63999.");
  EXPECT_EQ(refused(R"({"targetIp":"","universe":1,"dmx":[1],"outputs":[]})"),
            "Ongeldig DMX-verzoek: \"outputs\" moet een lijst met minstens één uitgang zijn.");

  auto nodes = server->send(test::request("GET", "/dmx/nodes"));
  EXPECT_EQ(nodes.statusLine(), "HTTP/1.1 200 OK");
  EXPECT_EQ(bodyJson(nodes), (Json{{"ok", true},
                                   {"nodes", Json::array({Json{{"ip", lamp.address()},
                                                               {"name", "Lamp by the chair"},
                                                               {"shortName", "Lamp"},
                                                               {"universes", {0x120, 0x121, 0x123}},
                                                               {"status", "#0001 [0042] Power On Tests successful"}}})}}));
}

}  // namespace dmx_routes_test
