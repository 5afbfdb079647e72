// The USB Pro and Open DMX senders against pseudo-terminals linked under device names in a
// folder of the test's own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>

#include "common/error.hpp"
#include "dmx/dmx_wire.hpp"
#include "dmx/enttec_sender.hpp"
#include "dmx/frame_schedule.hpp"
#include "dmx/open_dmx_sender.hpp"
#include "dmx/tests/dmx_test_support.hpp"
#include "server/tests/test_client.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace serial_sender_test {

using namespace solvera;
using namespace solvera::dmx;
using namespace solvera::dmx::test;
namespace fs = std::filesystem;

namespace {

DmxRequest frame(std::vector<std::uint8_t> dmx, std::optional<std::string> port = std::nullopt) {
  DmxRequest request;
  request.targetIp = "0.0.0.0";
  request.dmx = std::move(dmx);
  request.serialPort = std::move(port);
  return request;
}

template <typename Sender>
Error sendError(Sender& sender, const DmxRequest& request) {
  try {
    sender.send(request);
  } catch (const ErrorException& e) {
    return e.error();
  }
  return {};
}

Bytes usbPro(std::vector<std::uint8_t> channels) {
  return usbProMessage(kUsbProSendDmxLabel, dmxPayload(channels));
}

// What an Open DMX adapter puts on the line per frame: the break byte, then start code and
// 512 channels.
Bytes openDmxFrame(std::vector<std::uint8_t> channels) {
  Bytes bytes{0x00};
  auto payload = dmxPayload(channels);
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  return bytes;
}

bool waitForMessage(FakeSerialDevice& device, const Bytes& whole) { return device.waitForSequence(whole); }

// Waits until the last bytes received are `tail`, then splits everything unconsumed into frames.
std::vector<Bytes> framesEndingWith(FakeSerialDevice& device, const Bytes& tail, std::size_t frameSize) {
  device.waitFor([&](std::span<const std::uint8_t> bytes) {
    return bytes.size() >= tail.size() && std::equal(tail.begin(), tail.end(), bytes.end() - tail.size());
  });
  std::vector<Bytes> frames;
  while (auto next = device.take(frameSize, 0ms)) frames.push_back(*next);
  return frames;
}

constexpr std::size_t kUsbProBytes = 518;
constexpr std::size_t kOpenDmxBytes = 514;

}  // namespace

TEST(EnttecDmxUsbProSender, SearchesAtMostOncePer900ms) {
  solvera::test::TempDir dir;
  FakeClock clock;
  EnttecDmxUsbProSender sender(clock, dir.path().string());
  const Error notFound{"SolveraEnttec", 404, "Geen Enttec DMX USB Pro seriële poort gevonden."};
  const Error searching{"SolveraEnttec", 429, "Enttec DMX USB Pro wordt gezocht."};
  EXPECT_EQ(sendError(sender, frame({1})), notFound);
  EXPECT_EQ(sendError(sender, frame({1})), searching);

  FakeSerialDevice widget(dir.path() / "ttyUSB0");
  clock.advanceMs(899);
  EXPECT_EQ(sendError(sender, frame({1})), searching) << "the new device is not even looked for yet";
  EXPECT_EQ(widget.received(), 0u);
  clock.advanceMs(1);
  EXPECT_EQ(sendError(sender, frame({1, 2, 3})), Error{});
  EXPECT_TRUE(waitForMessage(widget, usbPro({1, 2, 3})));
  EXPECT_EQ(sender.status().openPort, (dir.path() / "ttyUSB0").string());
}

TEST(EnttecDmxUsbProSender, WritesExactMessagesOnEveryTickAndBlacksOut) {
  solvera::test::TempDir dir;
  FakeClock clock;
  FakeSerialDevice widget(dir.path() / "ttyUSB0");
  EnttecDmxUsbProSender sender(clock, dir.path().string());
  sender.send(frame({1, 2, 3}));

  Bytes expected = {0x7E,        // start delimiter
                    0x06,        // label 6: output-only send DMX packet
                    0x01, 0x02,  // data length 513, low byte first
                    0x00,        // DMX start code
                    1, 2, 3};    // channels 1..3
  expected.resize(517, 0x00);   // channels 4..512
  expected.push_back(0xE7);     // end delimiter
  for (int i = 0; i < 4; ++i) EXPECT_EQ(widget.take(kUsbProBytes), expected) << "message " << i;

  auto line = lineSettings(widget.slavePath());
  ASSERT_TRUE(line);
  EXPECT_EQ(line->outputBaud, 57600u);
  EXPECT_TRUE(line->eightBits && line->receiver && line->local);
  EXPECT_FALSE(line->twoStopBits || line->parity || line->hardwareFlow);
  EXPECT_EQ(line->inputFlags | line->outputFlags | line->localFlags, 0u);
  EXPECT_EQ(line->vmin, 0u);
  EXPECT_EQ(line->vtime, 1u);

  sender.blackoutAndStop();
  auto idle = sender.status();
  EXPECT_FALSE(idle.streaming || idle.timerRunning || idle.openPort);
  auto frames = framesEndingWith(widget, usbPro({}), kUsbProBytes);
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back(), usbPro({})) << "the last message is all zero";
  EXPECT_EQ(std::count(frames.begin(), frames.end(), usbPro({})), 1);
  EXPECT_EQ(std::count(frames.begin(), frames.end(), expected), static_cast<long>(frames.size() - 1));
}

TEST(EnttecDmxUsbProSender, PortSelectionFollowsTheRequest) {
  solvera::test::TempDir dir;
  FakeClock clock;
  FakeSerialDevice first(dir.path() / "ttyUSB0");
  FakeSerialDevice second(dir.path() / "ttyUSB1");
  EnttecDmxUsbProSender sender(clock, dir.path().string());
  const std::string secondPath = (dir.path() / "ttyUSB1").string();

  sender.send(frame({1}, "/dev/ttyUSB1"));  // not in the device folder: no preference
  EXPECT_TRUE(waitForMessage(first, usbPro({1}))) << "natural order picks ttyUSB0";
  EXPECT_FALSE(sender.status().selectedSerialPort);

  // Another port within 0.9 s of the last open: the old port closes at once, the new one
  // waits for the retry interval, and the refused request is the stream all the same.
  EXPECT_EQ(sendError(sender, frame({2}, secondPath)).code, 429);
  auto waiting = sender.status();
  EXPECT_FALSE(waiting.openPort);
  EXPECT_EQ(waiting.selectedSerialPort, secondPath);
  EXPECT_EQ(waiting.frame, (std::vector<std::uint8_t>{2}));
  clock.advanceMs(900);
  EXPECT_TRUE(waitForMessage(second, usbPro({2}))) << "a tick opens the requested port";

  // The same port again reopens nothing: no retry interval applies.
  sender.send(frame({3}, secondPath));
  EXPECT_TRUE(waitForMessage(second, usbPro({3})));
  EXPECT_EQ(sender.status().openPort, secondPath);

  // A preferred port that is absent is ignored; the first candidate serves instead.
  clock.advanceMs(900);
  sender.send(frame({4}, (dir.path() / "ttyUSB7").string()));
  EXPECT_TRUE(waitForMessage(first, usbPro({4})));
}

TEST(EnttecDmxUsbProSender, ResumesWhenTheWidgetComesBackUnderItsName) {
  solvera::test::TempDir dir;
  FakeClock clock;
  auto widget = std::make_unique<FakeSerialDevice>(dir.path() / "ttyUSB0");
  EnttecDmxUsbProSender sender(clock, dir.path().string());
  sender.send(frame({9, 8}));
  ASSERT_TRUE(waitForMessage(*widget, usbPro({9, 8})));

  widget->unplug();
  widget.reset();
  EXPECT_EQ(sender.status().streaming, true) << "the stream outlives the device";
  FakeSerialDevice again(dir.path() / "ttyUSB0");
  clock.advanceMs(900);  // the next search is allowed
  EXPECT_TRUE(waitForMessage(again, usbPro({9, 8}))) << "no new request needed";
}

TEST(EnttecDmxUsbProSender, AStalledWidgetDelaysRequestsOnlyBriefly) {
  solvera::test::TempDir dir;
  FakeClock clock;
  FakeSerialDevice widget(dir.path() / "ttyUSB0");
  EnttecDmxUsbProSender sender(clock, dir.path().string());
  sender.send(frame({5}));
  ASSERT_TRUE(waitForMessage(widget, usbPro({5})));

  // The widget stops reading: a write gives up after a short while and the port closes,
  // instead of the queue (and the server waiting in send) blocking for good.
  int tty = ::open(widget.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(tty, 0);
  ASSERT_EQ(::tcflow(tty, TCOOFF), 0);
  bool closed = false;
  // A generous bound: the loop ends as soon as the port closes; a slow sanitizer build on a
  // loaded machine needs far longer than the 100 ms the write waits.
  const auto giveUp = std::chrono::steady_clock::now() + 60s;
  while (!closed && std::chrono::steady_clock::now() < giveUp) closed = !sender.status().openPort;
  EXPECT_TRUE(closed) << "a failed write closes the port";
  // The retry interval has not passed, so neither a tick nor this request may reopen: the
  // answer comes at once instead of waiting on the stalled widget.
  EXPECT_EQ(sendError(sender, frame({6})).code, 429);

  ASSERT_EQ(::tcflow(tty, TCOON), 0);
  ::close(tty);
  clock.advanceMs(900);
  // No request is needed: a tick reopens the port. Waiting for that state, rather than racing
  // the tick with a request, keeps the outcome independent of who opens first.
  closed = true;
  const auto reopenBy = std::chrono::steady_clock::now() + 60s;
  while (closed && std::chrono::steady_clock::now() < reopenBy) closed = !sender.status().openPort;
  EXPECT_FALSE(closed) << "the stream resumes on its own";
  EXPECT_EQ(sendError(sender, frame({7})), Error{});
  EXPECT_TRUE(waitForMessage(widget, usbPro({7})));
}

TEST(OpenDmxFtdiSender, OpenFailuresExplainEachPort) {
  solvera::test::TempDir dir;
  const std::string d = dir.path().string();
  OpenDmxFtdiSender sender(systemClock(), d);
  EXPECT_EQ(sendError(sender, frame({1})),
            (Error{"SolveraOpenDmx", 404, "Geen FTDI/Open DMX seriële poort gevonden."}));
  EXPECT_EQ(sendError(sender, frame({1}, d + "/ttyUSB4")).message,
            "Gekozen FTDI/Open DMX poort kon niet worden geopend.")
      << "a requested port that does not exist is not a candidate";

  fs::create_directory(dir.path() / "ttyUSB0");       // cannot be opened for writing
  std::ofstream(dir.path() / "ttyUSB1") << "not a tty";  // opens, but has no line settings
  EXPECT_EQ(sendError(sender, frame({1}, d + "/ttyUSB0")).message,
            "Gekozen FTDI/Open DMX poort kon niet worden geopend. " + d + "/ttyUSB0: Is a directory; " +
                d + "/ttyUSB1: serial config mislukt");
  EXPECT_EQ(sendError(sender, frame({1})).message,
            "Geen FTDI/Open DMX seriële poort gevonden. " + d + "/ttyUSB0: Is a directory; " + d +
                "/ttyUSB1: serial config mislukt");

  FakeSerialDevice adapter(dir.path() / "ttyUSB2");
  EXPECT_EQ(sendError(sender, frame({1})), Error{}) << "later candidates are still tried";
  EXPECT_EQ(sender.status().openPort, d + "/ttyUSB2");
  EXPECT_EQ(OpenDmxFtdiSender::availablePorts(d + "/ttyUSB2", d).front(), d + "/ttyUSB2");
  EXPECT_EQ(OpenDmxFtdiSender::availablePorts(d + "/ttyUSB9", d),
            (std::vector<std::string>{d + "/ttyUSB0", d + "/ttyUSB1", d + "/ttyUSB2"}));
}

TEST(OpenDmxFtdiSender, PutsABreakBeforeEveryFrameAndEndsAt250000Baud) {
  solvera::test::TempDir dir;
  FakeSerialDevice adapter(dir.path() / "ttyUSB0");
  OpenDmxFtdiSender sender(systemClock(), dir.path().string());
  sender.send(frame({1, 2, 3}));

  Bytes expected = {0x00,      // the break: one zero byte at 38 400 baud
                    0x00,      // DMX start code
                    1, 2, 3};  // channels 1..3
  expected.resize(514, 0x00);  // channels 4..512, no framing bytes
  for (int i = 0; i < 4; ++i) EXPECT_EQ(adapter.take(kOpenDmxBytes), expected) << "frame " << i;

  sender.blackoutAndStop();
  EXPECT_FALSE(sender.status().openPort);
  auto frames = framesEndingWith(adapter, openDmxFrame({}), kOpenDmxBytes);
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back(), openDmxFrame({})) << "black, with its break";
  EXPECT_EQ(std::count(frames.begin(), frames.end(), expected), static_cast<long>(frames.size() - 1));
  EXPECT_EQ(adapter.received(), 0u) << "only whole frames";

  auto line = lineSettings(adapter.slavePath());
  ASSERT_TRUE(line);
  EXPECT_EQ(line->outputBaud, 250000u);
  EXPECT_TRUE(line->eightBits && line->twoStopBits && line->receiver && line->local);
  EXPECT_FALSE(line->parity || line->hardwareFlow);
  EXPECT_EQ(line->inputFlags | line->outputFlags | line->localFlags, 0u);
  EXPECT_EQ(line->vmin, 0u);
  EXPECT_EQ(line->vtime, 1u);
}

TEST(OpenDmxFtdiSender, SurvivesAStalledAndAnUnpluggedAdapter) {
  solvera::test::TempDir dir;
  auto adapter = std::make_unique<FakeSerialDevice>(dir.path() / "ttyUSB0");
  OpenDmxFtdiSender sender(systemClock(), dir.path().string());
  sender.send(frame({5}));
  ASSERT_TRUE(waitForMessage(*adapter, openDmxFrame({5})));

  // The adapter stops taking data: frames fail, yet requests are still answered at once.
  int tty = ::open(adapter->slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(tty, 0);
  ASSERT_EQ(::tcflow(tty, TCOOFF), 0);
  sender.send(frame({6}));
  EXPECT_TRUE(sender.status().streaming);
  adapter->clear();
  ASSERT_EQ(::tcflow(tty, TCOON), 0);
  ::close(tty);
  EXPECT_TRUE(waitForMessage(*adapter, openDmxFrame({6}))) << "the stream resumes";

  adapter->unplug();
  adapter.reset();
  FakeSerialDevice again(dir.path() / "ttyUSB0");
  EXPECT_TRUE(waitForMessage(again, openDmxFrame({6}))) << "found again under its name";
}

TEST(SerialSenders, KeepThePulseEpochAcrossRequestsUntilStopped) {
  solvera::test::TempDir dir;
  FakeClock clock;
  FakeSerialDevice widget(dir.path() / "ttyUSB0");
  EnttecDmxUsbProSender sender(clock, dir.path().string());
  auto pulsing = [](std::uint8_t value, double hz) {
    auto request = frame({value});
    request.pulseHz = hz;
    request.pulseChannels = std::vector<std::int64_t>{1};
    request.pulseShape = "sawtooth";
    return request;
  };
  sender.send(pulsing(200, 1.0));
  EXPECT_TRUE(waitForMessage(widget, usbPro({0}))) << "a sawtooth starts dark";
  clock.advanceMs(250);
  sender.send(pulsing(100, 2.0));  // another colour and rate: the same stream for a serial output
  EXPECT_TRUE(waitForMessage(widget, usbPro({25}))) << "the new rate continues from the quarter cycle reached";
  sender.stop();
  clock.advanceMs(900);  // the port closed with the stop; reopening waits for the interval
  sender.send(pulsing(100, 2.0));
  EXPECT_TRUE(waitForMessage(widget, usbPro({0}))) << "a stop starts a new epoch";
}

TEST(SerialSenders, PulseOnTheirOwnGridAndHoldTheMeanBeyondTheLine) {
  solvera::test::TempDir dir;
  FakeSerialDevice widget(dir.path() / "ttyUSB0");
  EnttecDmxUsbProSender sender(systemClock(), dir.path().string());
  auto sine = [](double hz, bool shortFrames) {
    auto request = frame({200});
    request.pulseHz = hz;
    request.pulseChannels = std::vector<std::int64_t>{1};
    request.pulseShape = "sine";
    request.shortFrames = shortFrames;
    return request;
  };
  std::set<int> phaseLevels;
  for (int k = 0; k < 12; ++k) phaseLevels.insert(static_cast<int>(std::lround(200 * pulseMultiplier(k / 12.0, "sine"))));

  sender.send(sine(12, true));
  EXPECT_EQ(sender.status().schedule.framesPerCycle, 12);
  EXPECT_EQ(widget.take(kUsbProBytes), usbPro({0})) << "whole first, dark at the epoch";
  std::set<int> seen;
  for (int i = 0; i < 36; ++i) {
    auto message = widget.take(30);
    ASSERT_TRUE(message);
    EXPECT_EQ(Bytes(message->begin(), message->begin() + 5), (Bytes{0x7E, 0x06, 25, 0x00, 0x00}))
        << "24 channels: the fewest a widget takes";
    EXPECT_TRUE(phaseLevels.count((*message)[5])) << "a level of the 12 phase positions: " << int((*message)[5]);
    seen.insert((*message)[5]);
  }
  EXPECT_GE(seen.size(), 4u) << "it pulses";

  sender.send(sine(30, false));
  EXPECT_EQ(sender.status().schedule.kind, FrameSchedule::Kind::Mean);
  ASSERT_TRUE(waitForMessage(widget, usbPro({100})));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(widget.take(kUsbProBytes), usbPro({100})) << "steady at the mean";

  FakeSerialDevice adapter(dir.path() / "cu.FT0");
  OpenDmxFtdiSender ftdi(systemClock(), dir.path().string());
  auto request = sine(25, false);
  request.serialPort = (dir.path() / "cu.FT0").string();
  ftdi.send(request);
  ASSERT_TRUE(adapter.waitForSequence(openDmxFrame({100})));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(adapter.take(kOpenDmxBytes), openDmxFrame({100}));
}

TEST(SerialSenders, TheLatestRequestIsTheStreamEvenWhileTheDeviceIsAway) {
  solvera::test::TempDir dir;
  FakeClock clock;
  auto widget = std::make_unique<FakeSerialDevice>(dir.path() / "ttyUSB0");
  auto adapter = std::make_unique<FakeSerialDevice>(dir.path() / "cu.FT0");
  EnttecDmxUsbProSender enttec(clock, dir.path().string());
  OpenDmxFtdiSender ftdi(clock, dir.path().string());
  const std::string adapterPath = (dir.path() / "cu.FT0").string();
  enttec.send(frame({255, 255}));
  ftdi.send(frame({255, 255}, adapterPath));
  ASSERT_TRUE(waitForMessage(*widget, usbPro({255, 255})));
  ASSERT_TRUE(adapter->waitForSequence(openDmxFrame({255, 255})));

  widget->unplug();
  adapter->unplug();
  widget.reset();
  adapter.reset();
  // A failed write closes the port; wait for it so the blackout meets no port at all.
  const auto giveUp = std::chrono::steady_clock::now() + 60s;
  while ((enttec.status().openPort || ftdi.status().openPort) && std::chrono::steady_clock::now() < giveUp) {
  }
  ASSERT_FALSE(enttec.status().openPort || ftdi.status().openPort);

  EXPECT_EQ(sendError(ftdi, frame({0, 0}, adapterPath)).message, "Gekozen FTDI/Open DMX poort kon niet worden geopend.")
      << "the error still answers the blackout";
  EXPECT_EQ(sendError(enttec, frame({0, 0})).code, 429);
  EXPECT_EQ(enttec.status().frame, (std::vector<std::uint8_t>{0, 0})) << "yet the blackout is the stream";
  EXPECT_EQ(ftdi.status().frame, (std::vector<std::uint8_t>{0, 0}));

  FakeSerialDevice widgetAgain(dir.path() / "ttyUSB0");
  FakeSerialDevice adapterAgain(dir.path() / "cu.FT0");
  clock.advanceMs(900);
  EXPECT_EQ(widgetAgain.take(kUsbProBytes), usbPro({0, 0})) << "the first frame after the replug is dark";
  EXPECT_EQ(adapterAgain.take(kOpenDmxBytes), openDmxFrame({0, 0}));
}

}  // namespace serial_sender_test
