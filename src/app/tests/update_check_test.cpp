// The update check end to end: a stand-in update service, fake preferences, alert and browser.
#include <gtest/gtest.h>

#include "app/update_check.hpp"
#include "cloud/tests/stand_in_service.hpp"
#include "common/main_thread.hpp"
#include "platform/fake_platform.hpp"
#include "server/tests/test_client.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace update_check_test {

using namespace solvera;
using test::StandInService;

namespace {

// Counts reads: the check reads the acknowledged version once per completed check, so the
// count tells the test that a decision has been taken, whatever it was.
struct CountingPreferences : platform::FakePreferences {
  std::optional<std::string> string(const std::string& key) override {
    ++reads;
    return FakePreferences::string(key);
  }
  int reads = 0;
};

const char* kKey = "mirowen.acknowledgedUpdateVersion";

struct Fixture {
  explicit Fixture(std::string webServiceBaseURL = "") {
    info.shortVersion = "2.0.9";
    info.webServiceBaseURL = webServiceBaseURL.empty() ? service.baseURL() : webServiceBaseURL;
    launch();
  }
  // A new run of the application with the same preferences.
  void launch() {
    platform::Platform p{fakes.shell,       fakes.dialogs, fakes.clipboard, fakes.workspace,
                         fakes.mediaRemote, preferences,   {dir.path(), info}};
    updates = UpdateCheck::create(p);
  }
  void answer(const std::string& body) { service.answerWith(StandInService::reply("200 OK", body)); }
  // Runs one check and waits until its decision has been taken.
  void check() {
    int before = preferences.reads;
    updates->checkForUpdate();
    ASSERT_TRUE(mainthread::runUntil([&] { return preferences.reads > before; }));
  }
  std::size_t alerts() const { return fakes.dialogs.alerts.size(); }
  void press(int button) {
    auto done = std::move(fakes.dialogs.pendingAlerts.front());
    fakes.dialogs.pendingAlerts.pop_front();
    done(button);
  }

  StandInService service;
  test::TempDir dir;
  AppInfo info;
  platform::FakePlatform fakes;
  CountingPreferences preferences;
  std::shared_ptr<UpdateCheck> updates;
};

const std::string kNewer =
    R"({"ok":true,"latest_version":"2.0.10","changelog_url":"https://example.org/2.0.10"})";

}  // namespace

TEST(UpdateCheck, NewerReleaseShowsTheDutchAlertAndChangelogAcknowledgesIt) {
  Fixture f;
  f.answer(kNewer);
  int activations = f.fakes.shell.activateCount;
  f.check();
  ASSERT_EQ(f.alerts(), 1u);
  const auto& alert = f.fakes.dialogs.alerts[0];
  EXPECT_EQ(alert.title, "Update beschikbaar");
  EXPECT_EQ(alert.message, "Solvera Pro Audio+Light 2.0.10 is beschikbaar.");
  EXPECT_EQ(alert.buttons, (std::vector<std::string>{"Bekijk changelog", "Later"}));
  EXPECT_EQ(f.fakes.shell.activateCount, activations + 1) << "brought to the front";
  f.press(0);
  EXPECT_EQ(f.preferences.values[kKey], "2.0.10");
  EXPECT_EQ(f.fakes.workspace.urls, (std::vector<std::string>{"https://example.org/2.0.10"}));

  f.launch();  // acknowledged: never again for this version
  f.check();
  EXPECT_EQ(f.alerts(), 1u);
  f.answer(R"J({"ok":true,"latest_version":"2.0.11","changelog_url":"javascript:alert(1)"})J");
  f.check();
  ASSERT_EQ(f.alerts(), 2u);
  f.press(0);
  EXPECT_EQ(f.preferences.values[kKey], "2.0.11") << "stored even when the address is unusable";
  EXPECT_EQ(f.fakes.workspace.urls.size(), 1u) << "an unusable address is not opened";
}

TEST(UpdateCheck, LaterAsksAgainOnlyOnTheNextLaunch) {
  Fixture f;
  f.answer(kNewer);
  f.check();
  ASSERT_EQ(f.alerts(), 1u);
  f.press(1);
  EXPECT_EQ(f.preferences.values.count(kKey), 0u);
  EXPECT_TRUE(f.fakes.workspace.urls.empty());
  f.check();
  EXPECT_EQ(f.alerts(), 1u) << "one alert per version per run";
  f.launch();
  f.check();
  EXPECT_EQ(f.alerts(), 2u);
}

TEST(UpdateCheck, ServiceVerdictMessageAndNonAnswers) {
  Fixture f;
  f.answer(R"({"ok":true,"latest_version":"2.0.9","update_available":false})");
  f.check();
  f.answer(R"({"ok":true,"update_available":true})");
  f.check();
  f.answer(R"({"ok":false,"latest_version":"3.0","update_available":true})");
  f.check();
  f.answer(R"({"latest_version":"3.0","update_available":true})");
  f.check();
  EXPECT_EQ(f.alerts(), 0u);

  f.answer(R"({"ok":true,"latest_version":"2.0.9","update_available":true,"message":""})");
  f.check();
  ASSERT_EQ(f.alerts(), 1u) << "the service's verdict wins over the versions";
  EXPECT_EQ(f.fakes.dialogs.alerts[0].message, "") << "an empty message is a message";
  EXPECT_EQ(f.service.requests().size(), 5u);
}

TEST(UpdateCheck, NotConfiguredServiceIsNeverAsked) {
  Fixture f("http://127.0.0.1:" + std::to_string(test::refusedLoopbackPort()));
  f.check();
  f.info.webServiceBaseURL = "";
  f.launch();
  f.check();
  EXPECT_EQ(f.alerts(), 0u);
  EXPECT_EQ(f.service.connectionCount(), 0u);
}

}  // namespace update_check_test
