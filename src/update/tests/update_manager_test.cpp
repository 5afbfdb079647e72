// The update exchange against a stand-in service, version order, the decision rules and the
// alert texts.
#include <gtest/gtest.h>

#include <thread>

#include "cloud/tests/stand_in_service.hpp"
#include "common/json.hpp"
#include "common/main_thread.hpp"
#include "update/update_manager.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace update_manager_test {

using namespace solvera;
using namespace solvera::update;
using namespace std::chrono_literals;
using test::StandInService;

namespace {

// Runs one check and waits on the main loop for its completion.
struct Outcome {
  std::optional<UpdateAPIResponse> response;
  bool onMainThread = false;
};

Outcome runCheck(const AppUpdateManager& manager) {
  bool done = false;
  Outcome out;
  auto mainThread = std::this_thread::get_id();
  manager.check([&](std::optional<UpdateAPIResponse> r) {
    out.response = std::move(r);
    out.onMainThread = std::this_thread::get_id() == mainThread;
    done = true;
  });
  EXPECT_TRUE(mainthread::runUntil([&] { return done; }));
  return out;
}

AppInfo infoFor(const StandInService& service) {
  AppInfo info;
  info.webServiceBaseURL = service.baseURL();
  info.shortVersion = "1.4.0";
  info.productCode = "audio";
  return info;
}

}  // namespace

TEST(AppUpdateManager, PostsVersionAndEditionAndHandsTheAnswerToTheMainThread) {
  StandInService service(StandInService::reply(
      "200 OK", R"({"ok":true,"latest_version":"1.5.0","update_available":false,
                    "changelog_url":"https://example.org/c","message":null,"extra":[1]})"));
  auto manager = AppUpdateManager::forAppInfo(infoFor(service));
  Outcome out = runCheck(manager);
  EXPECT_TRUE(out.onMainThread);
  ASSERT_TRUE(out.response);
  EXPECT_EQ(out.response->latestVersion, "1.5.0");
  EXPECT_EQ(out.response->updateAvailable, false);
  EXPECT_EQ(out.response->changelogURL, "https://example.org/c");
  EXPECT_EQ(out.response->message, std::nullopt);
  auto sent = service.requests().at(0);
  EXPECT_EQ(sent.method, "POST");
  EXPECT_EQ(sent.path, "/wp-json/mirowen/v1/update");
  EXPECT_EQ(sent.headers["content-type"], "application/json");
  EXPECT_EQ(parseJson(sent.body), Json({{"app_version", "1.4.0"}, {"product_code", "audio"}}));

  AppInfo bare;
  bare.webServiceBaseURL = service.baseURL();
  runCheck(AppUpdateManager::forAppInfo(bare));
  EXPECT_EQ(parseJson(service.requests().at(1).body),
            Json({{"app_version", "2.0.1"}, {"product_code", "audio-light"}}));
}

TEST(AppUpdateManager, OnlyABodyWithOkTrueIsAnAnswer) {
  StandInService service;
  auto manager = AppUpdateManager::forAppInfo(infoFor(service));
  struct Row {
    std::string status, body;
    bool answer;
  };
  std::vector<Row> rows = {
      {"500 Internal Server Error", R"({"ok":true})", true},  // the status is not consulted
      {"200 OK", R"({"ok":false,"update_available":true,"latest_version":"9"})", false},
      {"200 OK", R"({"latest_version":"9","update_available":true})", false},
      {"200 OK", R"({"ok":1})", false},
      {"200 OK", R"({"ok":true,"latest_version":9})", false},
      {"200 OK", R"({"ok":true,"update_available":"yes"})", false},
      {"200 OK", "<html>maintenance</html>", false},
      {"200 OK", "", false},
      {"200 OK", R"([{"ok":true}])", false},
  };
  for (const auto& row : rows) {
    service.answerWith(StandInService::reply(row.status, row.body));
    EXPECT_EQ(runCheck(manager).response.has_value(), row.answer) << row.body;
  }

  AppInfo refused = infoFor(service);
  refused.webServiceBaseURL = "http://127.0.0.1:" + std::to_string(test::refusedLoopbackPort());
  EXPECT_FALSE(runCheck(AppUpdateManager::forAppInfo(refused)).response);

  std::size_t before = service.connectionCount();
  AppInfo notConfigured = infoFor(service);
  notConfigured.webServiceBaseURL = "";
  Outcome out = runCheck(AppUpdateManager::forAppInfo(notConfigured));
  EXPECT_FALSE(out.response);
  EXPECT_TRUE(out.onMainThread);
  EXPECT_EQ(service.connectionCount(), before) << "no traffic when not configured";
}

TEST(VersionOrder, DigitRunsCompareByValueAndLettersIgnoreCase) {
  EXPECT_GT(compareVersions("2.0.10", "2.0.9"), 0);
  EXPECT_LT(compareVersions("2.0.9", "2.0.10"), 0);
  EXPECT_EQ(compareVersions("2.1.0", "2.1.0"), 0);
  EXPECT_GT(compareVersions("2.1", "2.0.99"), 0);
  EXPECT_LT(compareVersions("2.0", "2.0.1"), 0);
  EXPECT_EQ(compareVersions("2.0.0-Beta", "2.0.0-beta"), 0);
  EXPECT_LT(compareVersions("2.0.0-alpha", "2.0.0-Beta"), 0);
  EXPECT_GT(compareVersions("10.0", "9.9"), 0);
  EXPECT_GT(compareVersions("2.0.100000000000000000001", "2.0.99999999999999999999"), 0);
  EXPECT_EQ(compareVersions("2.01", "2.1"), 0);
  EXPECT_EQ(compareVersions("Ü1", "ü1"), 0);

  AppUpdateManager manager("", std::string("2.0.9"), std::nullopt);
  EXPECT_TRUE(manager.isNewerVersion("2.0.10"));
  EXPECT_FALSE(manager.isNewerVersion("2.0.9"));
  EXPECT_FALSE(manager.isNewerVersion("2.0.8"));
}

TEST(UpdateDecision, RulesInOrder) {
  AppUpdateManager manager("", std::string("2.0.9"), std::nullopt);
  auto response = [](std::optional<std::string> latest, std::optional<bool> available) {
    UpdateAPIResponse r;
    r.ok = true;
    r.latestVersion = std::move(latest);
    r.updateAvailable = available;
    return std::optional<UpdateAPIResponse>(r);
  };
  const std::optional<std::string> none;
  EXPECT_EQ(versionToAnnounce(std::nullopt, manager, none, none), none);
  EXPECT_EQ(versionToAnnounce(response(none, true), manager, none, none), none);
  EXPECT_EQ(versionToAnnounce(response("2.0.10", std::nullopt), manager, none, none), "2.0.10");
  EXPECT_EQ(versionToAnnounce(response("2.0.9", std::nullopt), manager, none, none), none);
  EXPECT_EQ(versionToAnnounce(response("2.0.9", false), manager, none, none), none);
  EXPECT_EQ(versionToAnnounce(response("2.0.9", true), manager, none, none), "2.0.9")
      << "the service's verdict wins";
  EXPECT_EQ(versionToAnnounce(response("2.0.10", false), manager, none, none), "2.0.10");
  EXPECT_EQ(versionToAnnounce(response("2.0.10", true), manager, "2.0.10", none), none);
  EXPECT_EQ(versionToAnnounce(response("2.0.10", true), manager, "2.0.8", "2.0.10"), none);
  EXPECT_EQ(versionToAnnounce(response("2.0.11", true), manager, "2.0.10", "2.0.10"), "2.0.11");
}

TEST(UpdateAlert, TextsButtonsAndChangelogAddresses) {
  auto alert = updateAlertContent("Solvera Pro", "2.1.0", std::nullopt);
  EXPECT_EQ(alert.title, "Update beschikbaar");
  EXPECT_EQ(alert.informativeText, "Solvera Pro 2.1.0 is beschikbaar.");
  EXPECT_EQ(alert.buttons, (std::vector<std::string>{"Bekijk changelog", "Later"}));
  EXPECT_EQ(updateAlertContent("X", "2", std::string("Nieuw!")).informativeText, "Nieuw!");
  EXPECT_EQ(updateAlertContent("X", "2", std::string()).informativeText, "");

  EXPECT_TRUE(isOpenableChangelogURL("https://example.org/changelog?v=2#top"));
  EXPECT_TRUE(isOpenableChangelogURL("HTTP://example.org"));
  EXPECT_FALSE(isOpenableChangelogURL("not a url"));
  EXPECT_FALSE(isOpenableChangelogURL("/changelog"));
  EXPECT_FALSE(isOpenableChangelogURL("file:///etc/passwd"));
  EXPECT_FALSE(isOpenableChangelogURL(""));
}

}  // namespace update_manager_test
