// Services that work without a display.
#include <gtest/gtest.h>

#include <sstream>

#include "platform/headless.hpp"
#include "platform/keyfile_preferences.hpp"
#include "platform/processes.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace platform_test {

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

TEST(OrphanedProcesses, OnlyOurBridgesWhoseParentIsNoRunningCopy) {
  const uid_t us = 1000;
  std::vector<ProcessEntry> processes = {
      {1, 0, 0, "systemd"},
      {20, 1, us, "solvera-pro"},
      {21, 1, us, "solvera-pro-hea"},  // solvera-pro-headless as the kernel keeps it
      {22, 1, us, "bash"},
      {30, 20, us, "SolveraMuseBrid"},
      {31, 21, us, "SolveraMuseBrid"},
      {32, 1, us, "SolveraMuseBrid"},
      {33, 99, us, "SolveraMuseBrid"},  // parent already gone
      {34, 1, us + 1, "SolveraMuseBrid"},
      {35, 1, us, "SolveraMuseBri"},
      {36, 22, us, "SolveraMuseBrid"},
  };
  EXPECT_EQ(orphanedProcesses(processes, "SolveraMuseBridge", us, kInstanceProcessNames),
            (std::vector<pid_t>{32, 33, 36}));

  // This very process, read from /proc.
  auto self = listProcesses();
  auto it = std::find_if(self.begin(), self.end(),
                         [](const ProcessEntry& p) { return p.pid == ::getpid(); });
  ASSERT_NE(it, self.end());
  EXPECT_EQ(it->parent, ::getppid());
  EXPECT_EQ(it->uid, ::getuid());
  EXPECT_EQ(it->name, "platform_tests");
}

}  // namespace platform_test
