// Request decoding, the pulse waveforms, frame modulation, wire formats and port ranking.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "common/error.hpp"
#include "dmx/dmx_request.hpp"
#include "dmx/dmx_wire.hpp"
#include "dmx/serial_ports.hpp"
#include "server/tests/test_client.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace dmx_request_test {

using namespace solvera;
using namespace solvera::dmx;

namespace {

std::string decodeError(const std::string& json) {
  try {
    decodeDmxRequest(json);
  } catch (const ErrorException& e) {
    return e.error().message;
  }
  return "";
}

Stream streamWith(std::vector<std::uint8_t> dmx, std::optional<double> hz,
                  std::vector<std::int64_t> channels, std::string shape = "sine") {
  DmxRequest request;
  request.targetIp = "127.0.0.1";
  request.dmx = std::move(dmx);
  request.pulseHz = hz;
  request.pulseChannels = std::move(channels);
  request.pulseShape = std::move(shape);
  return prepareStream(std::move(request), 0);
}

constexpr std::int64_t kSecond = 1'000'000'000;
using Bytes = std::vector<std::uint8_t>;

}  // namespace

TEST(DmxRequestDecoding, ReadsEveryMemberAndTreatsNullAsAbsent) {
  auto request = decodeDmxRequest(R"({"clientId":"c1","sourceKind":"session","outputMode":"artnet",
      "serialPort":"/dev/ttyUSB0","targetIp":"10.0.0.5","universe":65535,"dmx":[0,255,7],
      "pulseHz":10,"pulseChannels":[1,-3,600],"pulseShape":"sine","extra":{"ignored":true}})");
  EXPECT_EQ(request.clientId, "c1");
  EXPECT_EQ(request.sourceKind, "session");
  EXPECT_EQ(request.outputMode, "artnet");
  EXPECT_EQ(request.serialPort, "/dev/ttyUSB0");
  EXPECT_EQ(request.targetIp, "10.0.0.5");
  EXPECT_EQ(request.universe, 65535);
  EXPECT_EQ(request.dmx, (std::vector<std::uint8_t>{0, 255, 7}));
  EXPECT_EQ(request.pulseHz, 10.0) << "an integer is a valid pulse frequency";
  EXPECT_EQ(request.pulseChannels, (std::vector<std::int64_t>{1, -3, 600}));
  EXPECT_EQ(request.pulseShape, "sine");

  auto nulls = decodeDmxRequest(R"({"targetIp":"1.2.3.4","universe":0,"dmx":[],"clientId":null,
      "outputMode":null,"serialPort":null,"pulseHz":null,"pulseChannels":null,"pulseShape":null})");
  EXPECT_FALSE(nulls.clientId || nulls.outputMode || nulls.serialPort || nulls.pulseHz ||
               nulls.pulseChannels || nulls.pulseShape);
  EXPECT_TRUE(nulls.dmx.empty()) << "an empty frame is a valid (dark) frame";
  EXPECT_EQ(decodeDmxRequest(R"({"targetIp":"x","universe":2.0,"dmx":[1e2]})").dmx[0], 100)
      << "integral numbers written with a fraction or exponent are integers";
}

TEST(DmxRequestDecoding, RejectsTheWholeRequestOnAnyBadMember) {
  const std::string base = R"("targetIp":"1.2.3.4","universe":1,"dmx":[1])";
  for (const std::string& json : {
           std::string(R"({"universe":1,"dmx":[1]})"),            // no targetIp
           std::string(R"({"targetIp":"1.2.3.4","dmx":[1]})"),     // no universe
           std::string(R"({"targetIp":"1.2.3.4","universe":1})"),  // no dmx
           std::string(R"({"targetIp":null,"universe":1,"dmx":[1]})"),
           std::string(R"({"targetIp":7,"universe":1,"dmx":[1]})"),
           std::string(R"({"targetIp":"1.2.3.4","universe":70000,"dmx":[1]})"),
           std::string(R"({"targetIp":"1.2.3.4","universe":-1,"dmx":[1]})"),
           std::string(R"({"targetIp":"1.2.3.4","universe":1.5,"dmx":[1]})"),
           std::string(R"({"targetIp":"1.2.3.4","universe":"1","dmx":[1]})"),
           std::string(R"({"targetIp":"1.2.3.4","universe":1,"dmx":[256]})"),
           std::string(R"({"targetIp":"1.2.3.4","universe":1,"dmx":[1.5]})"),
           std::string(R"({"targetIp":"1.2.3.4","universe":1,"dmx":[-1]})"),
           std::string(R"({"targetIp":"1.2.3.4","universe":1,"dmx":[null]})"),
           std::string(R"({"targetIp":"1.2.3.4","universe":1,"dmx":"1,2"})"),
           "{" + base + R"(,"pulseHz":"10"})",
           "{" + base + R"(,"pulseHz":true})",
           "{" + base + R"(,"pulseChannels":[1.5]})",
           "{" + base + R"(,"pulseChannels":[9223372036854775808]})",
           "{" + base + R"(,"pulseChannels":1})",
           "{" + base + R"(,"pulseShape":1})",
           "{" + base + R"(,"outputMode":["artnet"]})",
           "{" + base + R"(,"serialPort":false})",
           "{" + base + R"(,"clientId":{}})",
           "[" + base + "]",
           "{" + base,
           std::string("not json"),
           std::string(""),
       }) {
    std::string error = decodeError(json);
    EXPECT_TRUE(error.starts_with("Ongeldig DMX-verzoek: ")) << json << " -> " << error;
  }
  EXPECT_EQ(decodeError(R"({"targetIp":"1.2.3.4","universe":1,"dmx":[0,256]})"),
            "Ongeldig DMX-verzoek: \"dmx\" element 1 moet een geheel getal van 0 tot 255 zijn.");
  EXPECT_EQ(decodeError(R"({"targetIp":"x","universe":1,"dmx":[],"x":)" + std::string(100000, '[') +
                        std::string(100000, ']') + "}"),
            "Ongeldig DMX-verzoek: geen geldige JSON.")
      << "absurd nesting is refused, not recursed into";
  EXPECT_EQ(decodeError("{\"x\":\"\xff\"}").find('\xff'), std::string::npos)
      << "the message never quotes the raw body";
  EXPECT_EQ(decodeDmxRequest("{" + base + R"(,"pulseChannels":[-9223372036854775808]})")
                .pulseChannels->front(),
            INT64_MIN);
}

TEST(StreamPreparation, ClampsFrequencyAndFallsBackToSquare) {
  auto prepared = [](std::optional<double> hz, std::optional<std::string> shape) {
    DmxRequest request;
    request.pulseHz = hz;
    request.pulseShape = std::move(shape);
    return prepareStream(request, 42);
  };
  EXPECT_EQ(prepared(0.0, "sine").pulseHz, 0.1);
  EXPECT_EQ(prepared(-5.0, "sine").pulseHz, 0.1);
  EXPECT_EQ(prepared(100.0, "sine").pulseHz, 40.0);
  EXPECT_EQ(prepared(7.5, "sine").pulseHz, 7.5);
  EXPECT_FALSE(prepared(std::nullopt, "sine").pulseHz);
  EXPECT_EQ(prepared(1.0, "sine").pulseEpoch, 42);
  for (const char* shape : {"sine", "triangle", "square", "trapezoid", "sawtooth"}) {
    EXPECT_EQ(prepared(1.0, shape).pulseShape, shape);
  }
  for (std::optional<std::string> shape : {std::optional<std::string>("Sine"),
                                           std::optional<std::string>("pulse"),
                                           std::optional<std::string>(""),
                                           std::optional<std::string>()}) {
    EXPECT_EQ(prepared(1.0, shape).pulseShape, "square") << shape.value_or("(absent)");
  }
}

TEST(PulseMultiplier, FollowsEachShapeIncludingTheBoundaries) {
  EXPECT_DOUBLE_EQ(pulseMultiplier(0.0, "sine"), 0.0);
  EXPECT_DOUBLE_EQ(pulseMultiplier(0.5, "sine"), 1.0);
  EXPECT_DOUBLE_EQ(pulseMultiplier(0.25, "sine"), 0.5);
  EXPECT_EQ(pulseMultiplier(0.0, "square"), 1.0);
  EXPECT_EQ(pulseMultiplier(0.4999, "square"), 1.0);
  EXPECT_EQ(pulseMultiplier(0.5, "square"), 0.0) << "strictly less than a half is on";
  EXPECT_EQ(pulseMultiplier(0.2, "unknown"), 1.0) << "any other word is a square wave";
  EXPECT_EQ(pulseMultiplier(0.7, "unknown"), 0.0);
  EXPECT_EQ(pulseMultiplier(0.0, "triangle"), 0.0);
  EXPECT_EQ(pulseMultiplier(0.25, "triangle"), 0.5);
  EXPECT_EQ(pulseMultiplier(0.5, "triangle"), 1.0);
  EXPECT_EQ(pulseMultiplier(0.75, "triangle"), 0.5);
  EXPECT_EQ(pulseMultiplier(0.0, "trapezoid"), 0.0);
  EXPECT_DOUBLE_EQ(pulseMultiplier(0.1, "trapezoid"), 0.5);
  EXPECT_EQ(pulseMultiplier(0.2, "trapezoid"), 1.0);
  EXPECT_EQ(pulseMultiplier(0.59, "trapezoid"), 1.0);
  EXPECT_DOUBLE_EQ(pulseMultiplier(0.7, "trapezoid"), (0.8 - 0.7) / 0.2);
  EXPECT_EQ(pulseMultiplier(0.8, "trapezoid"), 0.0);
  EXPECT_EQ(pulseMultiplier(0.95, "trapezoid"), 0.0);
  EXPECT_EQ(pulseMultiplier(0.3, "sawtooth"), 0.3);
}

TEST(FrameModulation, ScalesListedChannelsWithRoundingAndBounds) {
  // Square at position 0 is full on: the frame comes out unchanged.
  EXPECT_EQ(modulateFrame(streamWith({200, 100}, 1.0, {1, 2}, "square"), 0),
            (std::vector<std::uint8_t>{200, 100}));
  // Every other shape starts dark; a sine is at full value half a period later.
  for (const char* shape : {"sine", "triangle", "trapezoid", "sawtooth"}) {
    EXPECT_EQ(modulateFrame(streamWith({200}, 1.0, {1}, shape), 0)[0], 0) << shape;
  }
  EXPECT_EQ(modulateFrame(streamWith({200}, 1.0, {1}, "sine"), kSecond / 2)[0], 200);

  // Sawtooth at 1 Hz: the multiplier is the position, the fraction of elapsed seconds.
  auto saw = streamWith({255, 1, 200, 9}, 1.0, {1, 2}, "sawtooth");
  EXPECT_EQ(modulateFrame(saw, kSecond / 2), (std::vector<std::uint8_t>{128, 1, 200, 9}))
      << "127.5 rounds away from zero; 0.5 rounds to 1; unlisted channels keep their value";
  EXPECT_EQ(modulateFrame(saw, 2 * kSecond + 4 * kSecond / 10)[1], 0) << "1 x 0.4 rounds to 0";
  EXPECT_EQ(modulateFrame(saw, 7 * kSecond + kSecond / 2)[0], 128) << "only the fraction counts";

  EXPECT_EQ(modulateFrame(streamWith({200}, 1.0, {1, 1}, "sawtooth"), kSecond / 2)[0], 50)
      << "a repeated channel is scaled twice (m squared)";
  EXPECT_EQ(modulateFrame(streamWith({200, 200, 200}, 1.0, {0, -1, 4, 512}, "sawtooth"), kSecond / 2),
            (std::vector<std::uint8_t>{200, 200, 200}))
      << "channel 0, negative channels and channels past the frame are skipped";
  EXPECT_EQ(modulateFrame(streamWith({200}, 1.0, {3}, "sawtooth"), kSecond / 2).size(), 1u)
      << "the frame keeps its own length";

  EXPECT_EQ(modulateFrame(streamWith({200}, std::nullopt, {1}, "sawtooth"), kSecond / 2)[0], 200)
      << "channels without a frequency: unmodulated";
  EXPECT_EQ(modulateFrame(streamWith({200}, 1.0, {}, "sawtooth"), kSecond / 2)[0], 200)
      << "a frequency without channels: unmodulated";
  auto noChannels = streamWith({200}, 1.0, {}, "sawtooth");
  noChannels.request.pulseChannels.reset();
  EXPECT_EQ(modulateFrame(noChannels, kSecond / 2)[0], 200);

  // Position = elapsed seconds x frequency, from the stream's epoch.
  auto fast = streamWith({100}, 4.0, {1}, "sawtooth");
  fast.pulseEpoch = 10 * kSecond;
  EXPECT_EQ(modulateFrame(fast, 10 * kSecond + kSecond / 8)[0], 50);
}

TEST(ArtDmxPacket, CarriesAll512ChannelsAndThe15BitUniverse) {
  const std::vector<std::uint8_t> frame{10, 20, 30};
  auto packet = buildArtDmxPacket(frame, 0x1234);
  const std::uint8_t head[18] = {
      'A', 'r', 't', '-', 'N', 'e', 't', 0,  // ID
      0x00, 0x50,                            // OpDmx, low byte first
      0x00, 0x0E,                            // protocol version 14
      0x00,                                  // sequence disabled
      0x00,                                  // physical
      0x34,                                  // SubUni: universe low byte
      0x12,                                  // Net: universe bits 8..14
      0x02, 0x00,                            // length 512, high byte first
  };
  ASSERT_EQ(packet.size(), 530u);
  EXPECT_TRUE(std::equal(head, head + 18, packet.begin()));
  EXPECT_EQ(packet[18], 10);
  EXPECT_EQ(packet[20], 30);
  EXPECT_TRUE(std::all_of(packet.begin() + 21, packet.end(), [](auto b) { return b == 0; }));

  auto universeBytes = [](std::uint16_t universe) {
    auto p = buildArtDmxPacket({}, universe);
    return std::pair<int, int>(p[14], p[15]);
  };
  EXPECT_EQ(universeBytes(1), std::make_pair(0x01, 0x00));
  EXPECT_EQ(universeBytes(256), std::make_pair(0x00, 0x01));
  EXPECT_EQ(universeBytes(32768), std::make_pair(0x00, 0x00)) << "the top bit is dropped";
  EXPECT_EQ(universeBytes(65535), std::make_pair(0xFF, 0x7F));

  std::vector<std::uint8_t> long600(600, 9);
  long600[511] = 77;
  long600[512] = 88;
  auto full = buildArtDmxPacket(long600, 0);
  EXPECT_EQ(full.size(), 530u);
  EXPECT_EQ(full[529], 77) << "channel 512 is the last; the rest is dropped";
}

TEST(UsbProMessage, FramesTheStartCodeAndChannels) {
  auto message = usbProMessage(kUsbProSendDmxLabel, dmxPayload(std::vector<std::uint8_t>{1, 2, 3}));
  ASSERT_EQ(message.size(), 518u);
  const std::uint8_t head[8] = {0x7E,        // start delimiter
                                0x06,        // label: send DMX packet
                                0x01, 0x02,  // payload length 513, low byte first
                                0x00,        // DMX start code
                                1, 2, 3};    // channels 1..3
  EXPECT_TRUE(std::equal(head, head + 8, message.begin()));
  EXPECT_TRUE(std::all_of(message.begin() + 8, message.end() - 1, [](auto b) { return b == 0; }));
  EXPECT_EQ(message.back(), 0xE7) << "end delimiter";
}

TEST(TraceLine, WritesShortestFrequencyTextAndTheFirst32Values) {
  EXPECT_EQ(shortestDecimal(10.0), "10.0");
  EXPECT_EQ(shortestDecimal(0.1), "0.1");
  EXPECT_EQ(shortestDecimal(0.0), "0.0");
  EXPECT_EQ(shortestDecimal(12.345), "12.345");
  EXPECT_EQ(shortestDecimal(1.0 / 3.0), "0.3333333333333333");

  std::vector<std::uint8_t> frame(40);
  for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i);
  auto stream = streamWith(frame, 100.0, {1, 1, 0, 700}, "pulse");
  stream.request.targetIp = "10.0.0.9";
  stream.request.universe = 3;
  std::string expected = "123,10.0.0.9,3,40.0,square,1|1|0|700,0";
  for (int i = 1; i < 32; ++i) expected += "|" + std::to_string(i);
  EXPECT_EQ(traceLine(123, stream, frame), expected + "\n");

  auto plain = streamWith({5, 6}, std::nullopt, {});
  plain.request.pulseChannels.reset();
  plain.request.targetIp = "1.2.3.4";
  EXPECT_EQ(traceLine(7, plain, plain.request.dmx), "7,1.2.3.4,0,0.0,sine,,5|6\n");
}

TEST(SerialPorts, AcceptsOnlyDeviceNamesDirectlyInTheFolder) {
  auto kept = [](const std::string& path, const std::string& dir = "/dev") {
    return sanitizedSerialPort(path, dir).has_value();
  };
  EXPECT_TRUE(kept("/dev/cu.usbserial-A1B2"));
  EXPECT_TRUE(kept("/dev/tty.usbmodem_1.2-3"));
  EXPECT_TRUE(kept("/dev/ttyUSB0"));
  EXPECT_TRUE(kept("/dev/ttyACM12"));
  EXPECT_FALSE(kept("cu.usbserial-A1B2")) << "relative";
  EXPECT_FALSE(kept("/dev/cu.usb serial")) << "space";
  EXPECT_FALSE(kept("/tmp/x"));
  EXPECT_FALSE(kept("/dev/cu."));
  EXPECT_FALSE(kept("/dev/ttyUSB"));
  EXPECT_FALSE(kept("/dev/ttyUSB0x"));
  EXPECT_FALSE(kept("/dev/ttyS0"));
  EXPECT_FALSE(kept("/dev/../dev/ttyUSB0"));
  EXPECT_FALSE(kept("/dev/sub/ttyUSB0"));
  EXPECT_FALSE(kept(""));
  EXPECT_FALSE(sanitizedSerialPort(std::nullopt, "/dev"));
  EXPECT_TRUE(kept("/tmp/devs/ttyUSB3", "/tmp/devs")) << "the override folder replaces /dev";
  EXPECT_FALSE(kept("/dev/ttyUSB3", "/tmp/devs"));
  EXPECT_FALSE(kept("/tmp/devsX/ttyUSB3", "/tmp/devs"));
}

TEST(SerialPorts, RanksCuFirstThenLetterSerialsThenNaturalOrder) {
  std::vector<std::string> names{"tty.usbserial-A1", "cu.usbmodem14101", "cu.usbserial-A1",
                                 "cu.usbserial-11"};
  rankSerialPortNames(names);
  EXPECT_EQ(names, (std::vector<std::string>{"cu.usbserial-A1", "cu.usbmodem14101",
                                             "cu.usbserial-11", "tty.usbserial-A1"}));
  std::vector<std::string> numbers{"cu.usbmodem10", "cu.usbmodem2", "cu.USBMODEM3", "ttyUSB10",
                                   "ttyUSB9", "ttyACM0"};
  rankSerialPortNames(numbers);
  EXPECT_EQ(numbers, (std::vector<std::string>{"cu.usbmodem2", "cu.USBMODEM3", "cu.usbmodem10",
                                               "ttyACM0", "ttyUSB9", "ttyUSB10"}));
  EXPECT_TRUE(naturalLess("a007", "a8"));
  EXPECT_FALSE(naturalLess("a8", "a007"));
  EXPECT_TRUE(naturalLess("ab", "ab1"));
}

TEST(SerialPorts, ScansTheFolderWithEachOutputsPatterns) {
  solvera::test::TempDir dir;
  for (const char* name : {"cu.usbmodem1", "cu.FT232R", "tty.ft99", "ttyUSB0", "ttyACM1", "ttyS0",
                           "ttyUSBx", "cu.Bluetooth", "CU.USBSERIAL-Z", "console"}) {
    std::ofstream(dir.path() / name) << "";
  }
  const std::string d = dir.path().string();
  EXPECT_EQ(sortedSerialPortCandidates(enttecPortPatterns(), std::nullopt, d),
            (std::vector<std::string>{d + "/cu.usbmodem1", d + "/CU.USBSERIAL-Z", d + "/ttyACM1",
                                      d + "/ttyUSB0"}))
      << "case-insensitive patterns; only a lower-case cu. counts as call-out for the ranking";
  EXPECT_EQ(sortedSerialPortCandidates(openDmxPortPatterns(), std::nullopt, d),
            (std::vector<std::string>{d + "/cu.FT232R", d + "/cu.usbmodem1", d + "/CU.USBSERIAL-Z",
                                      d + "/tty.ft99", d + "/ttyACM1", d + "/ttyUSB0"}))
      << "FT names are Open DMX candidates only";
  EXPECT_EQ(sortedSerialPortCandidates(enttecPortPatterns(), d + "/ttyUSB0", d).front(), d + "/ttyUSB0")
      << "a present preferred port moves to the front";
  EXPECT_EQ(sortedSerialPortCandidates(enttecPortPatterns(), d + "/ttyUSB7", d).size(), 4u)
      << "an absent preferred port is not added";
  EXPECT_TRUE(sortedSerialPortCandidates(enttecPortPatterns(), std::nullopt, d + "/missing").empty());
}

TEST(ShortFrames, CarryOnlyTheChannelsInUse) {
  const std::vector<std::uint8_t> frame{10, 20, 30};
  const Bytes art = artDmxPacket(frame, 0x0102, 4);
  const Bytes expected{'A', 'r', 't', '-', 'N', 'e', 't', 0,  // ID
                       0x00, 0x50,                            // OpDmx
                       0x00, 0x0E,                            // protocol version 14
                       0x00, 0x00,                            // sequence, physical
                       0x02, 0x01,                            // SubUni, Net
                       0x00, 0x04,                            // length 4, high byte first
                       10, 20, 30, 0};                        // channels 1..4
  EXPECT_EQ(art, expected);
  const auto full = buildArtDmxPacket(frame, 0x0102);
  EXPECT_EQ(artDmxPacket(frame, 0x0102, 512), Bytes(full.begin(), full.end())) << "512 slots: the usual packet";

  EXPECT_EQ(usbProMessage(kUsbProSendDmxLabel, dmxPayload(frame, 2)),
            (Bytes{0x7E, 0x06, 0x03, 0x00,  // label 6, payload of 3 bytes
                   0x00, 10, 20,            // start code, channels 1..2
                   0xE7}));
  EXPECT_EQ(decodeDmxRequest(R"({"targetIp":"1.2.3.4","universe":0,"dmx":[],"shortFrames":true})").shortFrames, true);
  EXPECT_EQ(decodeError(R"({"targetIp":"1.2.3.4","universe":0,"dmx":[],"shortFrames":1})"),
            "Ongeldig DMX-verzoek: \"shortFrames\" moet waar of onwaar zijn.");
}

}  // namespace dmx_request_test
