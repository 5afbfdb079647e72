// The light router over the program's real outputs: a UDP node on loopback and a USB Pro widget
// on a pseudo-terminal.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/error.hpp"
#include "dmx/dmx_wire.hpp"
#include "dmx/light_router.hpp"
#include "dmx/tests/dmx_test_support.hpp"
#include "server/tests/test_client.hpp"

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
