// The bridge process with small shell programs as bridges: real child processes, real
// pipes, the real main loop; the page is a fake web view.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <gio/gio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>

#include "bridge/muse_bridge.hpp"
#include "common/json.hpp"
#include "common/main_thread.hpp"
#include "common/random.hpp"
#include "platform/fake_platform.hpp"
#include "server/tests/test_client.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace muse_bridge_test {

using namespace solvera;
using solvera::test::TempDir;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string kPrefix = "window.solveraMuseBridgeEvents?.([\n";
const std::string kSuffix = "\n]);";

struct Fixture {
  explicit Fixture(bool manualFlush = false) {
    options.productCode = "audio-light";
    options.resourceDir = dir.path();
    options.clock = &clock;
    if (manualFlush) {
      options.schedule = [this](std::chrono::milliseconds delay, std::function<void()> work) {
        scheduled.push_back({delay, std::move(work)});
      };
    }
  }
  ~Fixture() {
    if (made) made->stopMuseBridge();
    endChildrenRunningFrom(dir.path());
  }

  // A bridge that ignores the termination request is only killed by a timer on the main
  // loop, which no longer runs once the test is over: end every child of ours still running
  // from this folder, so that none outlives the test, whether it passed or not.
  static void endChildrenRunningFrom(const fs::path& folder) {
    const std::string mark = folder.string();
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
      const std::string pid = entry.path().filename().string();
      if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
      std::string line;
      try {
        std::ifstream stat(entry.path() / "stat");
        std::getline(stat, line);
      } catch (const std::ios_base::failure&) {
        continue;  // the process ended while it was read
      }
      const auto close = line.rfind(')');
      if (close == std::string::npos) continue;
      char state = 0;
      long parent = 0;
      if (std::sscanf(line.c_str() + close + 1, " %c %ld", &state, &parent) != 2) continue;
      if (parent != ::getpid()) continue;
      std::string arguments;
      try {
        std::ifstream cmdline(entry.path() / "cmdline");
        arguments.assign(std::istreambuf_iterator<char>(cmdline), {});
      } catch (const std::ios_base::failure&) {
        continue;  // the process ended while it was read
      }
      if (arguments.find(mark) != std::string::npos) ::kill(std::stoi(pid), SIGKILL);
    }
  }

  // A shell bridge. It renames itself first: the application's orphan cleanup, run by other
  // test programs at the same time, ends every process called like the bridge.
  void writeBridge(const std::string& script,
                   const fs::path& relative = "muse-bridge/SolveraMuseBridge") {
    dir.write(relative, "#!/bin/sh\nprintf %s test-bridge > /proc/$$/comm\n" + script);
    fs::permissions(dir.path() / relative, fs::perms::owner_all);
  }

  std::shared_ptr<MuseBridge>& bridge() {
    if (!made) made = MuseBridge::create([this] { return view; }, options);
    return made;
  }

  // Every page call, parsed: one array of events per call.
  std::vector<Json> batches() const {
    std::vector<Json> out;
    for (const auto& s : view->scripts()) {
      EXPECT_TRUE(s.starts_with(kPrefix) && s.ends_with(kSuffix)) << s;
      auto inner = s.substr(kPrefix.size(), s.size() - kPrefix.size() - kSuffix.size());
      auto parsed = parseJson("[" + inner + "]");
      EXPECT_TRUE(parsed) << s;
      out.push_back(parsed.value_or(Json::array()));
    }
    return out;
  }

  // "status: message" of every wrapper status event, in order.
  std::vector<std::string> statuses() const {
    std::vector<std::string> out;
    for (const auto& batch : batches()) {
      for (const auto& e : batch) {
        if (e.value("source", "") == "solvera-macos-wrapper") {
          out.push_back(e["status"].get<std::string>() + ": " + e["message"].get<std::string>());
        }
      }
    }
    return out;
  }

  bool waitForStatusCount(std::size_t n) {
    return mainthread::runUntil([&] { return statuses().size() >= n; });
  }

  TempDir dir;
  FakeClock clock{1'000'000'000, 1'700'000'000'123.9};
  std::shared_ptr<platform::FakeWebView> view = std::make_shared<platform::FakeWebView>();
  std::vector<std::pair<std::chrono::milliseconds, std::function<void()>>> scheduled;
  MuseBridge::Options options;
  std::shared_ptr<MuseBridge> made;
};

}  // namespace

TEST(MuseBridge, TwoLinesInOneReadArriveAsOneBatchInOrderThenTheExitIsReported) {
  Fixture f;
  // A malformed line between them is dropped; it must not cost the page the other two.
  f.writeBridge("printf '{\"n\":1}\\n{x}\\n{\"n\":2}\\n'\n");
  f.bridge()->startMuseBridgeIfNeeded();
  ASSERT_TRUE(mainthread::runUntil([&] { return f.view->scripts().size() >= 3; }));
  EXPECT_EQ(f.statuses(),
            (std::vector<std::string>{"starting: Muse bridge started.",
                                      "stopped: Muse bridge stopped with status 0."}));
  int eventBatches = 0;
  for (const auto& s : f.view->scripts()) {
    if (s.find("\"n\"") == std::string::npos) continue;
    ++eventBatches;
    EXPECT_EQ(s, kPrefix + "{\"n\":1},\n{\"n\":2}" + kSuffix) << "verbatim, in order";
  }
  EXPECT_EQ(eventBatches, 1);
  EXPECT_EQ(f.bridge()->droppedLines(), 1u);
  EXPECT_FALSE(f.bridge()->hasProcess());
}

TEST(MuseBridge, StatusEventsCarryExactlyTheirFiveMembers) {
  Fixture f;
  f.writeBridge("exit 3\n");
  f.bridge()->startMuseBridgeIfNeeded();
  ASSERT_TRUE(f.waitForStatusCount(2));
  EXPECT_EQ(f.statuses()[1], "stopped: Muse bridge stopped with status 3.");
  auto batches = f.batches();
  ASSERT_EQ(batches[0].size(), 1u);
  const Json& starting = batches[0][0];
  EXPECT_EQ(starting, Json::parse(R"({"type":"status","status":"starting",
      "source":"solvera-macos-wrapper","message":"Muse bridge started.",
      "receivedAt":1700000000123})"));
  EXPECT_TRUE(starting["receivedAt"].is_number_integer());
  EXPECT_FALSE(f.bridge()->hasProcess());
  EXPECT_TRUE(f.scheduled.empty()) << "status events bypass the batch";
}

TEST(MuseBridge, ALineSplitAcrossReadsIsDeliveredOnceWhenItsLineFeedArrives) {
  Fixture f(true);
  ASSERT_EQ(::mkfifo((f.dir.path() / "go").c_str(), 0600), 0);
  f.writeBridge("printf '{\"sp'\nread x < ../go\nprintf 'lit\":1}\\n'\n");
  f.bridge()->startMuseBridgeIfNeeded();
  ASSERT_TRUE(mainthread::runUntil([&] { return f.bridge()->bufferedBytes() == 4; }));
  EXPECT_TRUE(f.bridge()->pendingLines().empty());
  EXPECT_EQ(f.scheduled.size(), 1u) << "a flush is scheduled even when no line was accepted";

  int fifo = ::open((f.dir.path() / "go").c_str(), O_WRONLY);  // the bridge is reading it
  ASSERT_GE(fifo, 0);
  ASSERT_EQ(::write(fifo, "\n", 1), 1);
  ::close(fifo);
  ASSERT_TRUE(mainthread::runUntil([&] { return !f.bridge()->pendingLines().empty(); }));
  EXPECT_EQ(f.bridge()->pendingLines(), std::deque<std::string>{"{\"split\":1}"});
  EXPECT_EQ(f.bridge()->bufferedBytes(), 0u);
  ASSERT_EQ(f.scheduled.size(), 1u) << "one flush at a time";
  EXPECT_EQ(f.scheduled[0].first, 250ms);
  f.scheduled[0].second();
  EXPECT_EQ(f.view->scripts().back(), kPrefix + "{\"split\":1}" + kSuffix);
  EXPECT_FALSE(f.bridge()->flushScheduled());
}

TEST(MuseBridge, SixThousandLinesKeepTheNewestFiveThousandAndDeliverTheNewest1200) {
  Fixture f(true);
  f.writeBridge("i=0\nwhile [ $i -lt 6000 ]; do echo \"{\\\"n\\\":$i}\"; i=$((i+1)); done\n");
  f.bridge()->startMuseBridgeIfNeeded();
  ASSERT_TRUE(mainthread::runUntil([&] {
    const auto& pending = f.bridge()->pendingLines();
    return !pending.empty() && pending.back() == "{\"n\":5999}";
  }));
  const auto& pending = f.bridge()->pendingLines();
  ASSERT_EQ(pending.size(), 5000u);
  EXPECT_EQ(pending.front(), "{\"n\":1000}");
  ASSERT_EQ(f.scheduled.size(), 1u);
  std::size_t callsBefore = f.view->scripts().size();
  f.scheduled[0].second();
  ASSERT_EQ(f.view->scripts().size(), callsBefore + 1);
  auto batch = f.batches().back();
  ASSERT_EQ(batch.size(), 1200u);
  EXPECT_EQ(batch.front()["n"], 4800);
  EXPECT_EQ(batch.back()["n"], 5999);
  EXPECT_TRUE(f.bridge()->pendingLines().empty());
  f.bridge()->flushMuseBridgeEvents();
  EXPECT_EQ(f.view->scripts().size(), callsBefore + 1) << "an empty flush calls nothing";
}

TEST(MuseBridge, RestartDuringARunReportsScanningAndStartingButNoStop) {
  Fixture f(true);
  f.writeBridge("echo '{\"run\":1}'\nexec sleep 600\n");
  f.bridge()->startMuseBridgeIfNeeded();
  ASSERT_TRUE(mainthread::runUntil([&] { return !f.bridge()->pendingLines().empty(); }));
  auto first = f.bridge()->processId();
  ASSERT_TRUE(first);

  f.bridge()->restartMuseBridge();
  EXPECT_TRUE(f.bridge()->pendingLines().empty()) << "a new scan starts from nothing";
  EXPECT_TRUE(f.bridge()->hasProcess()) << "held until it has exited";
  f.bridge()->startMuseBridgeIfNeeded();  // while restarting: nothing
  ASSERT_TRUE(f.waitForStatusCount(3));
  ASSERT_TRUE(mainthread::runUntil([&] { return f.bridge()->observedExits() == 1; }));
  EXPECT_EQ(f.statuses(), (std::vector<std::string>{"starting: Muse bridge started.",
                                                    "scanning: Muse bridge scan requested.",
                                                    "starting: Muse bridge started."}));
  auto second = f.bridge()->processId();
  ASSERT_TRUE(second);
  EXPECT_NE(*first, *second);

  f.bridge()->stopMuseBridge();
  EXPECT_FALSE(f.bridge()->hasProcess());
  ASSERT_TRUE(mainthread::runUntil([&] { return f.bridge()->observedExits() == 2; }));
  EXPECT_EQ(f.statuses().size(), 3u) << "a stop reports nothing";
}

TEST(MuseBridge, ABridgeIgnoringTheTerminationRequestIsKilledSoTheScanCanGoOn) {
  Fixture f(true);
  f.options.killGrace = 100ms;
  f.writeBridge("trap '' TERM\necho '{\"stubborn\":1}'\nwhile :; do read x < ../never; done\n");
  ASSERT_EQ(::mkfifo((f.dir.path() / "never").c_str(), 0600), 0);
  f.bridge()->startMuseBridgeIfNeeded();
  ASSERT_TRUE(mainthread::runUntil([&] { return !f.bridge()->pendingLines().empty(); }));
  f.bridge()->restartMuseBridge();
  ASSERT_TRUE(f.waitForStatusCount(3));
  EXPECT_EQ(f.statuses().back(), "starting: Muse bridge started.");
  EXPECT_EQ(f.statuses().size(), 3u);
}

TEST(MuseBridge, RunsInItsOwnFolderWithoutArgumentsAndDropsStandardError) {
  Fixture f(true);
  f.writeBridge("echo '{\"err\":1}' >&2\necho \"{\\\"cwd\\\":\\\"$(pwd)\\\",\\\"args\\\":$#}\"\n");
  f.bridge()->startMuseBridgeIfNeeded();
  ASSERT_TRUE(f.waitForStatusCount(2));
  ASSERT_TRUE(mainthread::runUntil([&] { return !f.bridge()->pendingLines().empty(); }));
  ASSERT_EQ(f.bridge()->pendingLines().size(), 1u);
  auto event = Json::parse(f.bridge()->pendingLines().front());
  EXPECT_EQ(event["cwd"], fs::canonical(f.dir.path() / "muse-bridge").string());
  EXPECT_EQ(event["args"], 0);
}

TEST(MuseBridge, LocationRulesAndLaunchFailuresAreReported) {
  Fixture none;
  none.options.resourceDir.reset();
  none.bridge()->startMuseBridgeIfNeeded();
  EXPECT_EQ(none.statuses(),
            std::vector<std::string>{"unavailable: Muse bridge resources not found."});

  Fixture missing;
  missing.bridge()->startMuseBridgeIfNeeded();
  missing.dir.write("muse-bridge/SolveraMuseBridge", "#!/bin/sh\n");  // not executable
  missing.bridge()->startMuseBridgeIfNeeded();
  EXPECT_EQ(missing.statuses(),
            std::vector<std::string>(2, "unavailable: Muse bridge executable not found."));
  EXPECT_FALSE(missing.bridge()->hasProcess());

  Fixture both;
  both.writeBridge("exit 0\n");
  both.writeBridge("exit 0\n",
                   "muse-bridge/SolveraMuseBridge.app/Contents/MacOS/SolveraMuseBridge");
  EXPECT_EQ(both.bridge()->bridgeExecutable(),
            both.dir.path() / "muse-bridge/SolveraMuseBridge.app/Contents/MacOS/SolveraMuseBridge");
  fs::create_directories(both.dir.path() / "folder/muse-bridge/SolveraMuseBridge");
  both.options.resourceDir = both.dir.path() / "folder";
  EXPECT_EQ(MuseBridge::create({}, both.options)->bridgeExecutable(), std::nullopt) << "a folder";

  Fixture broken;
  // Its interpreter does not exist, so the launch itself fails.
  broken.dir.write("muse-bridge/SolveraMuseBridge", "#!/nonexistent/interpreter\n");
  fs::permissions(broken.dir.path() / "muse-bridge/SolveraMuseBridge", fs::perms::owner_all);
  broken.bridge()->startMuseBridgeIfNeeded();
  auto statuses = broken.statuses();
  ASSERT_EQ(statuses.size(), 1u);
  EXPECT_TRUE(statuses[0].starts_with("failed: ")) << statuses[0];
  EXPECT_GT(statuses[0].size(), std::string("failed: ").size()) << "the launch error's text";
  EXPECT_FALSE(broken.bridge()->hasProcess());
}

TEST(MuseBridge, OnlyAudioLightBuildsRunTheBridgeButEveryBuildHearsTheScan) {
  for (std::optional<std::string> code :
       {std::optional<std::string>("audio"), std::optional<std::string>("personal"),
        std::optional<std::string>()}) {
    Fixture f;
    f.options.productCode = code;
    f.writeBridge("exit 0\n");
    f.bridge()->startMuseBridgeIfNeeded();
    EXPECT_TRUE(f.view->scripts().empty());
    f.bridge()->restartMuseBridge();
    EXPECT_EQ(f.statuses(), std::vector<std::string>{"scanning: Muse bridge scan requested."});
    EXPECT_FALSE(f.bridge()->hasProcess());
  }
  Fixture light;
  light.writeBridge("exec sleep 600\n");
  light.bridge()->restartMuseBridge();
  EXPECT_EQ(light.statuses(), (std::vector<std::string>{"scanning: Muse bridge scan requested.",
                                                        "starting: Muse bridge started."}));
}

TEST(MuseBridge, OrphanCleanupEndsProcessesWithTheBridgeNameOfOurUser) {
  // A name longer than the kernel's 15 bytes, as the bridge's own is.
  TempDir dir;
  const std::string name = "SvOrphan" + randomHexToken().substr(0, 12);
  fs::copy_file("/bin/sleep", dir.path() / name);
  GError* error = nullptr;
  std::string path = (dir.path() / name).string();
  GSubprocess* orphan =
      g_subprocess_new(G_SUBPROCESS_FLAGS_NONE, &error, path.c_str(), "600", nullptr);
  ASSERT_NE(orphan, nullptr);
  bool exited = false;
  g_subprocess_wait_async(
      orphan, nullptr,
      [](GObject*, GAsyncResult*, gpointer flag) { *static_cast<bool*>(flag) = true; }, &exited);

  MuseBridge::Options options;
  options.productCode = "audio";
  options.processName = name;
  MuseBridge::create({}, options)->terminateOrphanedMuseBridgeProcessesIfNeeded();
  options.productCode = "audio-light";
  MuseBridge::create({}, options)->terminateOrphanedMuseBridgeProcessesIfNeeded();
  ASSERT_TRUE(mainthread::runUntil([&] { return exited; }));
  EXPECT_TRUE(g_subprocess_get_if_signaled(orphan));
  EXPECT_EQ(g_subprocess_get_term_sig(orphan), SIGTERM);
  g_object_unref(orphan);
}

TEST(MuseBridge, TheBuiltBridgeSaysInDutchThatBluetoothIsUnreachableAndExits) {
  Fixture f;
  fs::create_directories(f.dir.path() / "muse-bridge");
  fs::create_symlink(SOLVERA_MUSE_BRIDGE, f.dir.path() / "muse-bridge" / "SolveraMuseBridge");
  // No system bus here, whatever the machine has.
  const char* saved = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  std::string restore = saved ? saved : "";
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (f.dir.path() / "no-bus").string()).c_str(),
           1);
  f.bridge()->startMuseBridgeIfNeeded();
  if (saved)
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", restore.c_str(), 1);
  else
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  ASSERT_TRUE(f.waitForStatusCount(2));
  ASSERT_TRUE(mainthread::runUntil([&] { return f.batches().size() >= 3; }));

  std::vector<Json> own;
  for (const auto& batch : f.batches()) {
    for (const auto& e : batch) {
      if (e["source"] == "solvera-muse-bridge") own.push_back(e);
    }
  }
  ASSERT_EQ(own.size(), 1u);
  EXPECT_EQ(own[0]["type"], "status");
  EXPECT_EQ(own[0]["status"], "unavailable");
  EXPECT_EQ(own[0]["message"],
            "Bluetooth is niet bereikbaar: deze computer heeft geen systeembus.");
  EXPECT_TRUE(own[0]["receivedAt"].is_number_integer());
  EXPECT_EQ(f.statuses().back(), "stopped: Muse bridge stopped with status 2.");
}

}  // namespace muse_bridge_test
