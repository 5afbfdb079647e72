// Start-up and shutdown logic over fake desktop services and a real server.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app/app_delegate.hpp"
#include "common/main_thread.hpp"
#include "platform/fake_platform.hpp"
#include "server/tests/test_client.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace app_delegate_test {

using namespace solvera;
using solvera::test::TempDir;

namespace {

struct Fixture {
  explicit Fixture(std::uint16_t port = 0, AppInfo info = {}) {
    dir.write("public/index.html", "index");
    platform::Bundle bundle{dir.path(), std::move(info)};
    AppDelegate::Options options;
    options.port = port;
    options.musicLibraryURL = dir.path() / "library";
    options.inputLogFile = dir.path() / "state" / "input.log";
    delegate = AppDelegate::create(fakes.platform(bundle), options);
  }
  ~Fixture() { delegate->applicationWillTerminate(); }

  bool waitUntilStarted() {
    return mainthread::runUntil([&] { return !delegate->isStartingMain(); });
  }

  TempDir dir;
  platform::FakePlatform fakes;
  std::shared_ptr<AppDelegate> delegate;
};

// A socket listening on an ephemeral port on every interface, as another program would.
struct BusyPort {
  BusyPort() {
    fd = ::socket(AF_INET6, SOCK_STREAM, 0);
    int no = 0;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd, 1);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin6_port);
  }
  ~BusyPort() { ::close(fd); }
  int fd;
  std::uint16_t port;
};

}  // namespace

TEST(AppDelegate, OpensTheControlWindowOnThePortTheServerChose) {
  Fixture f;
  f.delegate->applicationDidFinishLaunching();
  EXPECT_TRUE(f.delegate->isStartingMain());
  ASSERT_TRUE(f.waitUntilStarted());
  ASSERT_EQ(f.fakes.shell.controlWindows.size(), 1u);
  const auto& spec = f.fakes.shell.controlWindows[0];
  std::uint16_t port = f.delegate->server()->port();
  EXPECT_NE(port, 0);
  EXPECT_EQ(spec.url, "http://127.0.0.1:" + std::to_string(port)) << "no trailing slash";
  EXPECT_EQ(spec.title, "Solvera Pro Audio+Light") << "no CFBundleName: the default name";
  EXPECT_EQ(spec.width, 1280);
  EXPECT_EQ(spec.height, 860);
  EXPECT_EQ(spec.scriptMessageNames,
            (std::vector<std::string>{"musicLibrary", "sessionFiles", "clipboard",
                                      "analysisPrint", "museBridge", "editingFocus"}));
  EXPECT_TRUE(f.fakes.shell.messageWindows.empty());
  auto page = test::exchange(port, test::request("GET", "/"));
  EXPECT_EQ(page.body(), "index") << "the server serves the resource folder's public/";
}

TEST(AppDelegate, StartMainTwiceStartsOneServerAndASecondOpenOnlyPresents) {
  Fixture f;
  f.delegate->applicationDidFinishLaunching();
  auto first = f.delegate->server();
  f.delegate->startMain();
  EXPECT_EQ(f.delegate->server(), first);
  ASSERT_TRUE(f.waitUntilStarted());
  f.delegate->openControlInterface();
  EXPECT_EQ(f.fakes.shell.controlWindows.size(), 1u);
  EXPECT_EQ(f.fakes.shell.presentCount, 1);
  EXPECT_EQ(f.delegate->controlWebView(), f.fakes.shell.webView);
}

TEST(AppDelegate, APortInUseShowsTheExactMessageAndKeepsTheFailedServer) {
  BusyPort busy;
  AppInfo info;
  info.bundleName = "Mijn Speler";
  Fixture f(busy.port, info);
  f.delegate->applicationDidFinishLaunching();
  ASSERT_TRUE(f.waitUntilStarted());
  ASSERT_EQ(f.fakes.shell.messageWindows.size(), 1u);
  const auto& message = f.fakes.shell.messageWindows[0];
  EXPECT_EQ(message.message,
            "Kon de lokale server niet starten. Sluit andere Mijn Speler-vensters en probeer "
            "opnieuw.");
  EXPECT_EQ(message.title, "Mijn Speler");
  EXPECT_EQ(message.subtitle, "Brainwave Entrainment");
  EXPECT_EQ(message.openButtonTitle, "Open interface");
  EXPECT_EQ(message.stopButtonTitle, "Stop Mijn Speler");
  EXPECT_TRUE(f.fakes.shell.controlWindows.empty());
  EXPECT_TRUE(f.delegate->server()) << "the failed server stays, so startMain does nothing";
  EXPECT_TRUE(f.delegate->applicationShouldTerminateAfterLastWindowClosed());

  // From the failed state, "Open interface" still opens the window on the preferred port.
  f.delegate->openInterfaceButtonClicked();
  ASSERT_EQ(f.fakes.shell.controlWindows.size(), 1u);
  EXPECT_EQ(f.fakes.shell.controlWindows[0].url, "http://127.0.0.1:" + std::to_string(busy.port));
  f.delegate->quitButtonClicked();
  EXPECT_EQ(f.fakes.shell.terminateCount, 1);
}

TEST(AppDelegate, MessageWindowsAreRetiredNotDestroyed) {
  Fixture f;
  f.delegate->showWindow("een");
  f.delegate->showWindow("twee");
  EXPECT_EQ(f.fakes.shell.messageWindows.size(), 2u);
  EXPECT_EQ(f.delegate->retiredWindowCount(), 1u);
  EXPECT_TRUE(f.delegate->hasMessageWindow());
  f.delegate->closeCurrentWindow();
  f.delegate->closeCurrentWindow();
  EXPECT_EQ(f.delegate->retiredWindowCount(), 2u);
  EXPECT_FALSE(f.delegate->hasMessageWindow());
}

TEST(AppDelegate, ClosingTheControlWindowQuitsAndTerminationStopsTheServer) {
  Fixture f;
  EXPECT_TRUE(f.delegate->applicationShouldTerminateAfterLastWindowClosed());
  f.delegate->applicationDidFinishLaunching();
  EXPECT_FALSE(f.delegate->applicationShouldTerminateAfterLastWindowClosed())
      << "not while the server is starting";
  ASSERT_TRUE(f.waitUntilStarted());
  std::uint16_t port = f.delegate->server()->port();
  f.delegate->controlWindowWillClose();
  EXPECT_EQ(f.fakes.shell.terminateCount, 1);
  EXPECT_FALSE(f.delegate->controlWebView());
  EXPECT_FALSE(f.delegate->hasInterfaceWindow());
  f.delegate->applicationWillTerminate();
  EXPECT_THROW(test::exchange(port, test::request("GET", "/")), std::runtime_error)
      << "the listener is gone after termination";
}

}  // namespace app_delegate_test
