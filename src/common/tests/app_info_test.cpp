// Application information and the folders derived from the environment.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "common/app_info.hpp"
#include "common/json.hpp"
#include "common/tests/scoped_env.hpp"
#include "common/xdg.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace app_info_test {

using namespace solvera;
namespace fs = std::filesystem;

TEST(AppInfo, MissingOrNonTextKeysAreAbsentAndTheDisplayNameFallsBack) {
  auto info = AppInfo::fromJson(Json::parse(R"({"CFBundleName": 5, "SolveraProductCode": "audio"})"));
  EXPECT_FALSE(info.bundleName);
  EXPECT_EQ(info.productDisplayName(), "Solvera Pro Audio+Light");
  EXPECT_EQ(info.productCode, "audio");
  EXPECT_FALSE(info.openAIBaseURL);

  auto named = AppInfo::fromJson(Json::parse(R"({"CFBundleName": "Other Name"})"));
  EXPECT_EQ(named.productDisplayName(), "Other Name");
  EXPECT_EQ(AppInfo::fromJson(Json::array()).productDisplayName(), "Solvera Pro Audio+Light");
}

TEST(AppInfo, LoadsFromAFolderAndToleratesAMissingOrBrokenFile) {
  fs::path dir = fs::temp_directory_path() / ("solvera-info-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  EXPECT_FALSE(AppInfo::load(dir).bundleName);
  std::ofstream(dir / "Info.json") << "{not json";
  EXPECT_FALSE(AppInfo::load(dir).bundleName);
  std::ofstream(dir / "Info.json") << R"({"CFBundleName":"X","CFBundleShortVersionString":"2.1"})";
  auto info = AppInfo::load(dir);
  EXPECT_EQ(info.bundleName, "X");
  EXPECT_EQ(info.shortVersion, "2.1");
  fs::remove_all(dir);
}

TEST(ResourceDir, OverrideThenInstalledThenBuildTree) {
  fs::path root = fs::temp_directory_path() / ("solvera-res-" + std::to_string(::getpid()));
  fs::create_directories(root / "bin");
  EXPECT_EQ(resolveResourceDir(fs::path("/x"), root / "bin"), fs::path("/x"));
  EXPECT_FALSE(resolveResourceDir(std::nullopt, root / "bin"));
  fs::create_directories(root / "bin" / "resources");
  EXPECT_EQ(resolveResourceDir(std::nullopt, root / "bin"), root / "bin" / "resources");
  fs::create_directories(root / "share" / "solvera-pro");
  EXPECT_EQ(resolveResourceDir(std::nullopt, root / "bin"), root / "share" / "solvera-pro");
  fs::remove_all(root);
}

TEST(Xdg, UsesAbsoluteVariablesAndFallsBackToHome) {
  test::ScopedEnv env;
  env.set("HOME", "/home/tester")
      .set("XDG_DATA_HOME", "relative/ignored")
      .set("XDG_STATE_HOME", "/state")
      .set("XDG_CONFIG_HOME", std::nullopt);
  EXPECT_EQ(xdg::musicLibraryDir(), fs::path("/home/tester/.local/share/Solvera Pro/Music Library"));
  EXPECT_EQ(xdg::inputLogFile("Solvera Pro Audio+Light"),
            fs::path("/state/Solvera Pro Audio+Light-input.log"));
  EXPECT_EQ(xdg::preferencesFile("N"), fs::path("/home/tester/.config/N/preferences.ini"));
}

TEST(ScopedEnv, PutsBackWhatWasThereAndRemovesWhatWasNot) {
  ::setenv("SOLVERA_TEST_KEPT", "before", 1);
  ::unsetenv("SOLVERA_TEST_NEW");
  {
    test::ScopedEnv env("SOLVERA_TEST_KEPT", "during");
    env.set("SOLVERA_TEST_NEW", "x").set("SOLVERA_TEST_KEPT", std::nullopt);
    EXPECT_EQ(std::getenv("SOLVERA_TEST_KEPT"), nullptr);
    EXPECT_STREQ(std::getenv("SOLVERA_TEST_NEW"), "x");
  }
  EXPECT_STREQ(std::getenv("SOLVERA_TEST_KEPT"), "before") << "set twice, back to the first value";
  EXPECT_EQ(std::getenv("SOLVERA_TEST_NEW"), nullptr);
  ::unsetenv("SOLVERA_TEST_KEPT");
}

}  // namespace app_info_test
