// The bridge program against a simulated BlueZ with a Muse headband on a private bus: what a
// real headband would make it write, how it reconnects, how it stops, and what it says when
// Bluetooth cannot be used.
#include <gtest/gtest.h>

#include <signal.h>

#include <iostream>

#include <nlohmann/json.hpp>

#include "simulated_bluez.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace bridge_program_test {

using solvera::test::SimulatedBluez;
using solvera::test::TestChild;
using Json = nlohmann::json;

namespace {

Json parse(const std::string& line) {
  return Json::parse(line, nullptr, false);
}

bool isStatus(const std::string& line, const char* status) {
  auto e = parse(line);
  return e.is_object() && e.value("type", "") == "status" && e.value("status", "") == status;
}

// A bands event whose strongest band is alpha.
bool alphaDominant(const std::string& line) {
  auto e = parse(line);
  if (!e.is_object() || e.value("type", "") != "bands") return false;
  const auto& b = e["bands"];
  const double alpha = b.value("alpha", 0.0);
  for (const char* other : {"delta", "theta", "beta", "gamma"}) {
    if (b.value(other, 1.0) >= alpha) return false;
  }
  return true;
}

std::vector<std::string> statuses(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const auto& line : lines) {
    auto e = parse(line);
    if (e.is_object() && e.value("type", "") == "status") out.push_back(e["status"]);
  }
  return out;
}

TestChild runBridge(const SimulatedBluez& bluez) {
  return TestChild({bluez.bridgeProgram()}, bluez.environment());
}

}  // namespace

TEST(BridgeProgram, StreamsAlphaReconnectsAfterADropoutAndHaltsTheHeadbandOnStop) {
  // 120 packets at twice the pace: about three seconds of streaming, then the dropout.
  SimulatedBluez bluez({"--speed", "2", "--drop-after", "120"});
  TestChild bridge = runBridge(bluez);

  auto firstAlpha = bridge.waitForLine(alphaDominant);
  // What both sides saw, should anything below fail.
  struct Dump {
    const TestChild& bridge;
    const SimulatedBluez& bluez;
    ~Dump() {
      if (!::testing::Test::HasFailure()) return;
      for (const auto& l : bridge.lines()) {
        if (l.find("\"eeg\"") == std::string::npos) std::cerr << "bridge: " << l << "\n";
      }
      for (const auto& l : bluez.log()) std::cerr << "headband: " << l << "\n";
    }
  } dump{bridge, bluez};
  ASSERT_TRUE(firstAlpha) << "no alpha-dominant bands";
  auto reconnecting = bridge.waitForLine(
      [](const std::string& l) { return isStatus(l, "reconnecting"); }, *firstAlpha);
  ASSERT_TRUE(reconnecting) << "no reconnection after the dropout";
  auto againAlpha = bridge.waitForLine(alphaDominant, *reconnecting);
  ASSERT_TRUE(againAlpha) << "streaming did not resume";

  bridge.sendSignal(SIGTERM);
  EXPECT_EQ(bridge.waitForExit(), 0);

  EXPECT_EQ(statuses(bridge.lines()),
            (std::vector<std::string>{"scanning", "connecting", "connected", "streaming",
                                      "disconnected", "reconnecting", "connected", "streaming"}));
  int eeg = 0, battery = 0;
  for (const auto& line : bridge.lines()) {
    auto e = parse(line);
    ASSERT_TRUE(e.is_object()) << line;
    EXPECT_EQ(e["source"], "solvera-muse-bridge");
    EXPECT_TRUE(e["receivedAt"].is_number_integer());
    if (e["type"] == "status") {
      EXPECT_FALSE(e["message"].get<std::string>().empty());
    }
    if (e["type"] == "eeg") {
      ++eeg;
      EXPECT_EQ(e["channels"].size(), 4u) << line;
    }
    if (e["type"] == "battery") battery += e["percent"] == 88.0;
  }
  EXPECT_GT(eeg, 100);
  EXPECT_GE(battery, 1);

  // The headband heard the start twice and, at the stop, "h" before the disconnection.
  auto log = bluez.log();
  const std::vector<std::string> start = {"connect", "write h", "write p21",
                                          "write s", "write d", "streaming"};
  ASSERT_GE(log.size(), 2 * start.size() + 3) << ::testing::PrintToString(log);
  EXPECT_EQ(std::vector<std::string>(log.end() - 2, log.end()),
            (std::vector<std::string>{"write h", "disconnect"}));
  EXPECT_EQ(std::count(log.begin(), log.end(), "dropped"), 1);
  EXPECT_EQ(std::count(log.begin(), log.end(), "write d"), 2);
}

TEST(BridgeProgram, SearchesAgainWhenBluezForgetsTheHeadbandAfterADropout) {
  SimulatedBluez bluez({"--speed", "2", "--drop-after", "60", "--forget"});
  TestChild bridge = runBridge(bluez);
  auto reconnecting =
      bridge.waitForLine([](const std::string& l) { return isStatus(l, "reconnecting"); });
  ASSERT_TRUE(reconnecting);
  ASSERT_TRUE(bridge.waitForLine(alphaDominant, *reconnecting)) << "streaming did not resume";
  bridge.sendSignal(SIGTERM);
  EXPECT_EQ(bridge.waitForExit(), 0);
  auto log = bluez.log();
  auto forgotten = std::find(log.begin(), log.end(), "forgotten");
  ASSERT_NE(forgotten, log.end()) << ::testing::PrintToString(log);
  EXPECT_EQ(std::vector<std::string>(forgotten, std::min(forgotten + 4, log.end())),
            (std::vector<std::string>{"forgotten", "discovery", "device", "connect"}))
      << "searched for, found and connected again";
}

TEST(BridgeProgram, SaysInDutchWhyBluetoothCannotBeUsed) {
  struct Case {
    std::vector<std::string> headbandArgs;
    bool withBluez;
    int exitStatus;
    std::string reason;  // for the page's other languages
    std::string message;
  };
  const std::vector<Case> cases = {
      {{},
       false,
       2,
       "noBluez",
       "Bluetooth is niet beschikbaar: de Bluetooth-dienst draait niet op deze computer."},
      {{"--adapter", "none"}, true, 2, "noAdapter", "Er is geen Bluetooth-adapter gevonden."},
      {{"--adapter", "off"},
       true,
       2,
       "adapterOff",
       "Bluetooth staat uit. Zet Bluetooth aan en zoek opnieuw."},
      {{"--known", "--missing-channel", "0005"},
       true,
       4,
       "notAHeadband",
       "Het gevonden apparaat heeft de meetkanalen van een Muse-hoofdband niet."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    SimulatedBluez bluez(c.headbandArgs, c.withBluez);
    TestChild bridge = runBridge(bluez);
    EXPECT_EQ(bridge.waitForExit(), c.exitStatus);
    ASSERT_FALSE(bridge.lines().empty());
    auto last = parse(bridge.lines().back());
    EXPECT_EQ(last["status"], "unavailable");
    EXPECT_EQ(last["reason"], c.reason);
    EXPECT_EQ(last["message"], c.message);
  }

  SimulatedBluez unused({}, false);
  TestChild noBus({unused.bridgeProgram()},
                  {{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus"}});
  EXPECT_EQ(noBus.waitForExit(), 2);
  ASSERT_EQ(noBus.lines().size(), 1u);
  EXPECT_EQ(parse(noBus.lines()[0])["message"],
            "Bluetooth is niet bereikbaar: deze computer heeft geen systeembus.");
  EXPECT_EQ(parse(noBus.lines()[0])["reason"], "noBus");
}

TEST(BridgeProgram, AStopWhileSearchingEndsAtOnce) {
  SimulatedBluez bluez({"--adapter", "on", "--name", "Other-1"});
  TestChild bridge = runBridge(bluez);
  ASSERT_TRUE(bridge.waitForLine([](const std::string& l) { return isStatus(l, "scanning"); }));
  bridge.sendSignal(SIGTERM);
  EXPECT_EQ(bridge.waitForExit(), 0);
}

}  // namespace bridge_program_test
