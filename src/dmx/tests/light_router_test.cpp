// The light router over the program's real outputs: a UDP node on loopback and a USB Pro widget
// on a pseudo-terminal.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/error.hpp"
#include "dmx/dmx_wire.hpp"
#include "dmx/light_router.hpp"
#include "dmx/sacn_wire.hpp"
#include "dmx/tests/dmx_test_support.hpp"
#include "server/tests/test_client.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace light_router_test {

using namespace solvera;
using namespace solvera::dmx;
using namespace solvera::dmx::test;

namespace {

DmxRequest artNet(const std::string& target, std::vector<std::uint8_t> dmx) {
  DmxRequest request;
  request.targetIp = target;
  request.universe = 3;
  request.dmx = std::move(dmx);
  return request;
}

DmxRequest usbPro(std::vector<std::uint8_t> dmx) {
  DmxRequest request = artNet("", std::move(dmx));
  request.outputMode = "enttec-usb-pro";
  return request;
}

Bytes usbProFrame(std::vector<std::uint8_t> dmx) { return usbProMessage(kUsbProSendDmxLabel, dmxPayload(dmx)); }

Bytes black(std::uint16_t universe) {
  const auto packet = buildArtDmxPacket({}, universe);
  return {packet.begin(), packet.end()};
}

Error refusal(LightRouter& router, const DmxRequest& request) {
  try {
    router.send(request);
  } catch (const ErrorException& e) {
    return e.error();
  }
  return {};
}

// Waits for a packet whose channel 1 is `value` (or, with `other`, is not), 60 s at most.
bool receives(ArtNetReceiver& node, std::uint8_t value, bool other = false) {
  for (auto packet = node.receive(60s); packet; packet = node.receive(60s)) {
    if (packet->size() > 18 && ((*packet)[18] == value) != other) return true;
  }
  return false;
}

}  // namespace

TEST(LightRouter, ARefusedRequestLeavesEveryOutputAsItWas) {
  solvera::test::TempDir devices;
  FakeSerialDevice widget(devices.path() / "ttyUSB0");
  ArtNetReceiver node;
  auto outputs = std::make_shared<DmxOutputs>(systemClock(), devices.path().string());
  LightRouter router(outputs);

  EXPECT_EQ(router.send(usbPro({200})), "enttec-usb-pro");
  ASSERT_TRUE(widget.waitForSequence(usbProFrame({200})));
  EXPECT_EQ(refusal(router, artNet("8.8.8.8", {255})).code, 403) << "nobody else's network";
  EXPECT_EQ(refusal(router, artNet("localhost", {255})), (Error{"SolveraArtNet", 400, "Ongeldig Art-Net IP-adres."}));
  EXPECT_EQ(refusal(router, artNet(" 127.0.0.1", {255})), (Error{"Solvera", 400, "Invalid target IP"}));
  EXPECT_TRUE(outputs->enttecUsbPro.status().streaming) << "the widget was not stopped";
  widget.clear();
  EXPECT_TRUE(widget.waitForSequence(usbProFrame({200}))) << "and still gets its frames";

  EXPECT_EQ(router.send(artNet(node.address(), {100})), "artnet");
  EXPECT_FALSE(outputs->enttecUsbPro.status().streaming) << "one output streams at a time";
  ASSERT_TRUE(receives(node, 100));
  EXPECT_EQ(refusal(router, artNet("8.8.8.8", {255})).code, 403);
  EXPECT_EQ(refusal(router, artNet("2.0.0", {255})).code, 400);
  const auto status = outputs->artNet.status();
  ASSERT_TRUE(status.stream);
  EXPECT_EQ(status.stream->targetIp, node.address()) << "the lit lamp keeps its stream";
  node.drain();
  EXPECT_TRUE(receives(node, 100)) << "and its frames";

  router.exitBlackout();
  EXPECT_FALSE(outputs->artNet.status().stream);
  const auto packets = node.drain();
  ASSERT_FALSE(packets.empty());
  EXPECT_EQ(packets.back(), black(3)) << "the lamp is darkened at exit";
}

TEST(LightRouter, AfterTheExitBlackoutNothingLightsWhoeverSends) {
  solvera::test::TempDir devices;
  FakeSerialDevice widget(devices.path() / "ttyUSB0");
  ArtNetReceiver node;
  auto outputs = std::make_shared<DmxOutputs>(systemClock(), devices.path().string());
  LightRouter router(outputs);
  // The widget is lit by a caller that goes round the router (which then stops it).
  outputs->enttecUsbPro.send(usbPro({255}));
  ASSERT_TRUE(widget.waitForSequence(usbProFrame({255})));
  router.send(artNet(node.address(), {255}));
  ASSERT_TRUE(receives(node, 255));

  // Requests keep coming while the program ends, through the router and straight to an output.
  std::atomic<bool> refusedByRouter{false}, refusedByOutput{false};
  auto hammer = [](auto send, std::atomic<bool>& refused) {
    for (std::uint8_t value = 1; !refused; value = static_cast<std::uint8_t>(value % 250 + 1)) {
      try {
        send(value);
      } catch (const ErrorException& e) {
        if (e.error().code == 503) refused = true;
      }
    }
  };
  std::thread viaRouter(hammer, [&](std::uint8_t v) { router.send(artNet(node.address(), {v})); },
                        std::ref(refusedByRouter));
  std::thread direct(hammer, [&](std::uint8_t v) { outputs->artNet.send(artNet(node.address(), {v})); },
                     std::ref(refusedByOutput));
  ASSERT_TRUE(receives(node, 255, /*other=*/true)) << "the requests are being followed";
  router.exitBlackout();
  viaRouter.join();
  direct.join();

  EXPECT_THROW(outputs->enttecUsbPro.send(usbPro({9})), ErrorException) << "the widget is latched too";
  EXPECT_TRUE(router.exiting());
  const auto state = outputs->artNet.output().inspect([](const DmxOutputState& s, DmxTransport&) { return s; });
  EXPECT_TRUE(state.exitLatched);
  EXPECT_FALSE(state.stream || state.timerRunning);
  const auto packets = node.drain();
  ASSERT_FALSE(packets.empty());
  EXPECT_EQ(packets.back(), black(3)) << "the last frame on the wire is dark";
  EXPECT_EQ(std::count(packets.begin(), packets.end(), black(3)), 1) << "and no lit one followed it";
  EXPECT_FALSE(outputs->enttecUsbPro.status().streaming);
}

namespace {

DmxRequest sacn(const std::string& target, std::vector<std::uint8_t> dmx) {
  DmxRequest request = artNet(target, std::move(dmx));
  request.outputMode = "sacn";
  request.universe = 9;
  return request;
}

DmxRequest usbProAt(const std::string& port, std::vector<std::uint8_t> dmx) {
  DmxRequest request = usbPro(std::move(dmx));
  request.serialPort = port;
  return request;
}

LightRequest several(std::vector<DmxRequest> parts) { return LightRequest{std::move(parts), true}; }

// Channel 1 of an sACN packet, and whether it ends the stream.
std::uint8_t sacnChannel1(const Bytes& packet) { return packet.at(kSacnHeaderBytes); }
bool terminated(const Bytes& packet) { return packet.at(kSacnOptionsOffset) == kSacnStreamTerminated; }

bool receivesSacn(ArtNetReceiver& receiver, std::uint8_t value) {
  for (auto packet = receiver.receive(60s); packet; packet = receiver.receive(60s)) {
    if (!terminated(*packet) && sacnChannel1(*packet) == value) return true;
  }
  return false;
}

}  // namespace

TEST(LightRouter, ThreeOutputsAtOnceAndAllDarkAtExit) {
  solvera::test::TempDir devices;
  FakeSerialDevice widget(devices.path() / "ttyUSB0");
  ArtNetReceiver node, receiver(kSacnPort);
  auto outputs = std::make_shared<DmxOutputs>(systemClock(), devices.path().string());
  LightRouter router(outputs);
  const std::string port = (devices.path() / "ttyUSB0").string();

  auto results = router.send(several({artNet(node.address(), {10}), sacn(receiver.address(), {20}), usbProAt(port, {30})}));
  ASSERT_EQ(results.size(), 3u);
  for (const auto& result : results) EXPECT_FALSE(result.error) << result.outputMode << ": " << result.error->message;
  EXPECT_EQ(results[1].outputMode, "sacn");
  EXPECT_TRUE(receives(node, 10));
  EXPECT_TRUE(receivesSacn(receiver, 20));
  EXPECT_TRUE(widget.waitForSequence(usbProFrame({30})));

  // A refused part changes nothing, and says which part it was.
  router.send(several({artNet(node.address(), {10}), sacn(receiver.address(), {20}), usbProAt(port, {30})}));
  DmxRequest noUniverse = sacn(receiver.address(), {99});
  noUniverse.universe = 0;
  try {
    router.send(several({artNet(node.address(), {99}), noUniverse}));
    ADD_FAILURE() << "universe 0 is no sACN universe";
  } catch (const ErrorException& e) {
    EXPECT_EQ(e.error().message, "Uitgang 2: Een sACN-universe ligt tussen 1 en 63999.");
  }
  try {
    router.send(several({usbPro({1}), usbProAt(port, {2})}));
    ADD_FAILURE() << "two serial outputs, one without a port";
  } catch (const ErrorException& e) {
    EXPECT_EQ(e.error().message, "Kies voor elke seriële uitgang een eigen poort.");
  }
  node.drain();
  EXPECT_TRUE(receives(node, 10)) << "the lit lamps keep their frames";
  EXPECT_TRUE(outputs->enttecUsbPro.status().streaming);

  router.exitBlackout();
  EXPECT_FALSE(outputs->artNet.status().stream);
  EXPECT_FALSE(outputs->sacn.status().universe);
  EXPECT_FALSE(outputs->enttecUsbPro.status().streaming);
  auto artNetPackets = node.drain();
  ASSERT_FALSE(artNetPackets.empty());
  EXPECT_EQ(artNetPackets.back(), black(3)) << "Art-Net: the last frame is dark";
  auto sacnPackets = receiver.drain();
  ASSERT_GE(sacnPackets.size(), 4u);
  EXPECT_EQ(sacnChannel1(sacnPackets[sacnPackets.size() - 4]), 0) << "sACN: a dark frame";
  EXPECT_TRUE(std::all_of(sacnPackets.end() - 3, sacnPackets.end(), terminated)) << "then the stream's end";
  EXPECT_TRUE(widget.waitFor([&](std::span<const std::uint8_t> bytes) {
    const Bytes dark = usbProFrame({});
    return bytes.size() >= dark.size() && std::equal(dark.begin(), dark.end(), bytes.end() - static_cast<std::ptrdiff_t>(dark.size()));
  })) << "the widget's last frame is dark";
  EXPECT_THROW(router.send(several({artNet(node.address(), {5})})), ErrorException) << "and nothing lights again";
}

TEST(LightRouter, AnUnpluggedWidgetDoesNotHoldUpTheNetworkOutputs) {
  solvera::test::TempDir devices;
  auto widget = std::make_unique<FakeSerialDevice>(devices.path() / "ttyUSB0");
  ArtNetReceiver node, receiver(kSacnPort);
  auto outputs = std::make_shared<DmxOutputs>(systemClock(), devices.path().string());
  LightRouter router(outputs);
  const std::string port = (devices.path() / "ttyUSB0").string();
  auto request = [&](std::uint8_t value) {
    return several({artNet(node.address(), {value}), sacn(receiver.address(), {value}),
                    usbProAt(port, {value})});
  };
  router.send(request(1));
  ASSERT_TRUE(widget->waitForSequence(usbProFrame({1})));
  widget->unplug();
  widget.reset();

  // Requests go on; the widget's fault shows in its own result once the port is found gone,
  // while the network outputs take every request.
  bool faultShown = false;
  for (std::uint8_t value = 2; value < 250 && !faultShown; ++value) {
    const auto results = router.send(request(value));
    EXPECT_FALSE(results[0].error);
    EXPECT_FALSE(results[1].error);
    if (results[2].error) {
      faultShown = true;
      EXPECT_EQ(results[2].error->domain, "SolveraEnttec") << results[2].error->message;
    }
    ASSERT_TRUE(receives(node, value)) << "Art-Net took " << int(value);
    ASSERT_TRUE(receivesSacn(receiver, value)) << "sACN took " << int(value);
  }
  EXPECT_TRUE(faultShown);
  // And the network outputs keep re-sending on their own.
  node.drain();
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(node.receive(10s)) << "Art-Net goes on";
  router.exitBlackout();
}

}  // namespace light_router_test
