// Services that work without a display.
#include <gtest/gtest.h>

#include <sstream>

#include "platform/headless.hpp"
#include "platform/keyfile_preferences.hpp"

using namespace solvera::platform;
namespace fs = std::filesystem;

TEST(KeyFilePreferences, PersistsTextValuesAcrossInstances) {
  fs::path dir = fs::temp_directory_path() / ("solvera-prefs-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::path file = dir / "Solvera Pro Audio+Light" / "preferences.ini";
  KeyFilePreferences first(file);
  EXPECT_EQ(first.string("mirowen.acknowledgedUpdateVersion"), std::nullopt);
  first.setString("mirowen.acknowledgedUpdateVersion", "2.0.10");
  first.setString("other", "a=b ; c\nd");
  KeyFilePreferences second(file);
  EXPECT_EQ(second.string("mirowen.acknowledgedUpdateVersion"), "2.0.10");
  EXPECT_EQ(second.string("other"), "a=b ; c\nd");
  fs::remove_all(dir);
}

TEST(HeadlessShell, PrintsTheReadyLineAndReportsStartFailureWithStatusOne) {
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  std::ostringstream out, err;
  HeadlessShell shell(loop, out, err);
  EXPECT_EQ(shell.openControlWindow({"Solvera Pro Audio+Light", 1280, 860, "http://127.0.0.1:8765", {}}),
            nullptr);
  EXPECT_EQ(out.str(), "Solvera Pro Audio+Light: http://127.0.0.1:8765\n");
  EXPECT_EQ(shell.exitStatus(), 0);
  shell.showMessageWindow({"T", "Brainwave Entrainment", "Kon niet", "Open interface", "Stop T"});
  EXPECT_EQ(err.str(), "Kon niet\n");
  EXPECT_EQ(shell.exitStatus(), 1);
  g_main_loop_unref(loop);
}
