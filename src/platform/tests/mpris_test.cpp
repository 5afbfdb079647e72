// The MPRIS player on a private session bus, driven by playerctl as a desktop would.
#include <gtest/gtest.h>

#include <glib-unix.h>

#include <cstdlib>

#include "common/main_thread.hpp"
#include "common/tests/scoped_env.hpp"
#include "platform/mpris_media_remote.hpp"
#include "platform/tests/desktop_session.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace mpris_test {

using namespace solvera;
using namespace solvera::platform;
using namespace std::chrono_literals;

namespace {

// playerctl with the main loop running, so that this process can answer it.
test::ToolResult playerctl(const std::vector<std::string>& args) {
  std::vector<std::string> command = {"playerctl"};
  command.insert(command.end(), args.begin(), args.end());
  test::Child child(command, test::environmentWith({}));
  test::ToolResult result;
  bool ended = false;
  guint watch = g_unix_fd_add(
      child.exitDescriptor(), G_IO_IN,
      [](int, GIOCondition, gpointer flag) -> gboolean {
        *static_cast<bool*>(flag) = true;
        return G_SOURCE_REMOVE;
      },
      &ended);
  if (!mainthread::runUntil([&] { return ended; }, 15s)) g_source_remove(watch);
  result.output = child.readAll(1s);
  result.status = child.wait(1s).value_or(-1);
  return result;
}

}  // namespace

TEST(MprisMediaRemote, PlayerctlReachesEachCommandAndReadsNowPlaying) {
  test::SessionBus bus;
  if (!bus.ok() || !test::findProgram("playerctl")) GTEST_SKIP() << "no dbus-daemon or playerctl";
  test::ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", bus.address());

  using Command = MediaRemote::Command;
  MprisMediaRemote remote("Solvera Pro Audio+Light", "solvera_pro");
  EXPECT_EQ(remote.ownedBusName(), "");
  std::vector<std::string> calls;
  std::vector<MediaRemote::Token> tokens;
  tokens.push_back(remote.addHandler(Command::play, [&] { calls.push_back("play"); }));
  tokens.push_back(remote.addHandler(Command::pause, [&] { calls.push_back("pause"); }));
  tokens.push_back(remote.addHandler(Command::togglePlayPause, [&] { calls.push_back("toggle"); }));
  remote.setNowPlaying("Ademhalingscoaching", "Solvera Pro Audio+Light");
  EXPECT_EQ(remote.ownedBusName(), "org.mpris.MediaPlayer2.solvera_pro");

  EXPECT_EQ(playerctl({"-l"}).output, "solvera_pro\n");
  EXPECT_EQ(playerctl({"-p", "solvera_pro", "status"}).output, "Playing\n");
  EXPECT_EQ(playerctl({"-p", "solvera_pro", "metadata", "title"}).output, "Ademhalingscoaching\n");
  EXPECT_EQ(playerctl({"-p", "solvera_pro", "metadata", "artist"}).output,
            "Solvera Pro Audio+Light\n");
  for (const char* command : {"play-pause", "pause", "play"}) {
    EXPECT_EQ(playerctl({"-p", "solvera_pro", command}).status, 0) << command;
  }
  EXPECT_NE(playerctl({"-p", "solvera_pro", "next"}).status, 0) << "no next track to go to";
  EXPECT_EQ(calls, (std::vector<std::string>{"toggle", "pause", "play"}))
      << "each command reaches its own handler; others do nothing";

  for (auto token : tokens) remote.removeHandler(token);
  EXPECT_EQ(remote.ownedBusName(), "org.mpris.MediaPlayer2.solvera_pro")
      << "still published while the now-playing entry stands";
  remote.clearNowPlaying();
  EXPECT_EQ(remote.ownedBusName(), "");
  auto after = playerctl({"-l"});
  EXPECT_EQ(after.output, "") << "the player is gone from the bus";
}

TEST(MprisMediaRemote, WithoutASessionBusNothingIsPublished) {
  test::ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/solvera-bus");
  MprisMediaRemote remote("Solvera Pro Audio+Light", "solvera_pro");
  int calls = 0;
  auto token = remote.addHandler(MediaRemote::Command::play, [&] { ++calls; });
  remote.setNowPlaying("Ademhalingscoaching", "x");
  EXPECT_EQ(remote.ownedBusName(), "");
  remote.removeHandler(token);
  remote.clearNowPlaying();
  EXPECT_EQ(calls, 0);
}

}  // namespace mpris_test
