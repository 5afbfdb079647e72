// The content services behind the delegate end to end: fake desktop, real server, real
// download from a stand-in on loopback, real files and child processes.
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/app_delegate.hpp"
#include "app/content_services.hpp"
#include "common/json.hpp"
#include "common/main_thread.hpp"
#include "content/music_library.hpp"
#include "content/music_library_installer.hpp"
#include "content/session_files.hpp"
#include "content/tests/download_server.hpp"
#include "content/tests/test_archive.hpp"
#include "platform/fake_platform.hpp"
#include "server/tests/test_client.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace content_services_test {

using namespace solvera;
using solvera::test::TempDir;
namespace fs = std::filesystem;

namespace {

struct Fixture {
  Fixture() {
    dir.write("public/index.html", "index");
    zip = test::buildZip(test::libraryEntries(12, "Solvera Core Library/"));
    download.set(MusicLibraryInstaller::kCoreMusicLibraryPath, {"200 OK", zip});
    dir.write("digest/archive.zip", zip);
    AppInfo info;
    info.productCode = "audio-light";
    info.contentBaseURL = download.baseURL();
    info.coreMusicLibrarySHA256 = *sha256(dir.path() / "digest/archive.zip");
    // Reports go to the system temporary folder; this test's own one.
    previousTmp = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    fs::create_directories(dir.path() / "tmp");
    ::setenv("TMPDIR", (dir.path() / "tmp").c_str(), 1);
    auto platform = fakes.platform({dir.path(), info});
    content = ContentServices::create(platform, {library(), nullptr});
    delegate = AppDelegate::create(
        platform, {0, library(), dir.path() / "input.log", nullptr, content, nullptr});
  }
  ~Fixture() {
    delegate->applicationWillTerminate();
    delegate.reset();
    if (previousTmp.empty())
      ::unsetenv("TMPDIR");
    else
      ::setenv("TMPDIR", previousTmp.c_str(), 1);
  }

  // Starts the server, opens the control window and finishes the first page load.
  platform::FakeWebView& openInterface() {
    delegate->startMain();
    EXPECT_TRUE(mainthread::runUntil([&] { return fakes.shell.webView != nullptr; }));
    delegate->webViewDidFinishLoad(*fakes.shell.webView);
    return *fakes.shell.webView;
  }

  bool waitForScript(const std::string& part) {
    return mainthread::runUntil([&] {
      for (const auto& s : fakes.shell.webView->scripts()) {
        if (s.find(part) != std::string::npos) return true;
      }
      return false;
    });
  }

  fs::path library() const { return dir.path() / "data" / "Solvera Pro" / "Music Library"; }

  TempDir dir;
  test::DownloadServer download;
  std::string zip;
  platform::FakePlatform fakes;
  std::string previousTmp;
  std::shared_ptr<ContentServices> content;
  std::shared_ptr<AppDelegate> delegate;
};

}  // namespace

TEST(ContentServices, TheFirstPageLoadInstallsTheCoreLibraryWhichThenPlaysFromMusicLibrary) {
  Fixture f;
  auto& page = f.openInterface();
  ASSERT_TRUE(f.waitForScript("solveraMusicLibraryInstalled"));
  EXPECT_FALSE(f.content->musicLibrary->isInstallingMusicLibrary());
  std::vector<std::string> music;
  for (const auto& s : page.scripts()) {
    if (s.find("solveraMusicLibrary") != std::string::npos) music.push_back(s);
  }
  EXPECT_EQ(music,
            (std::vector<std::string>{pagecall::musicLibraryDownloadStatus("downloading", ""),
                                      pagecall::musicLibraryDownloadStatus("verifying", ""),
                                      pagecall::musicLibraryDownloadStatus("installing", ""),
                                      "window.solveraMusicLibraryInstalled?.(true, \"12\");"}));
  // The bridge was started first; this resource folder has none.
  EXPECT_NE(page.scripts()[0].find("Muse bridge executable not found."), std::string::npos);

  auto track = test::exchange(f.delegate->server()->port(),
                              test::request("GET", "/music-library/tracks/11.mp3"));
  EXPECT_EQ(track.statusLine(), "HTTP/1.1 200 OK");
  EXPECT_EQ(track.body(), test::trackBytes(11));

  f.delegate->webViewDidFinishLoad(page);  // a reload: no second check
  EXPECT_FALSE(f.content->musicLibrary->isInstallingMusicLibrary());
  EXPECT_EQ(f.download.requests().size(), 1u);
}

TEST(ContentServices, ScriptMessagesReachSessionFilesReportsAndTheBridge) {
  Fixture f;
  f.dir.write("muse-bridge/SolveraMuseBridge",
              "#!/bin/sh\nprintf %s test-bridge > /proc/$$/comm\necho '{\"type\":\"eeg\"}'\n"
              "exec sleep 600\n");
  fs::permissions(f.dir.path() / "muse-bridge/SolveraMuseBridge", fs::perms::owner_all);
  auto& page = f.openInterface();
  ASSERT_TRUE(f.waitForScript("{\"type\":\"eeg\"}"));
  EXPECT_NE(page.scripts()[0].find("Muse bridge started."), std::string::npos);
  f.delegate->didReceiveScriptMessage("museBridge", Json("scan"));
  ASSERT_TRUE(f.waitForScript("Muse bridge scan requested."));

  f.delegate->didReceiveScriptMessage(
      "sessionFiles", Json{{"action", "export"}, {"filename", "Avond/10:30"}, {"content", "{}"}});
  ASSERT_EQ(f.fakes.dialogs.savePanels.size(), 1u);
  EXPECT_EQ(f.fakes.dialogs.savePanels[0].proposedName, "Avond-10-30.svpsession");
  f.fakes.dialogs.pendingSave.front()(f.dir.path() / "Avond-10-30.svpsession");
  ASSERT_TRUE(f.waitForScript(pagecall::sessionFileExported(true, "saved")));
  EXPECT_TRUE(fs::exists(f.dir.path() / "Avond-10-30.svpsession"));

  f.delegate->didReceiveScriptMessage("analysisPrint", Json{{"html", "<p>rapport</p>"}});
  ASSERT_EQ(f.fakes.workspace.files.size(), 1u);
  EXPECT_EQ(f.fakes.workspace.files[0], f.dir.path() / "tmp" / "Solvera Pro sessieanalyse.html");
  f.delegate->didReceiveScriptMessage("analysisPrint",
                                      Json{{"html", std::string(5'000'001, 'x')}, {"title", "t"}});
  ASSERT_EQ(f.fakes.dialogs.alerts.size(), 1u);
  EXPECT_EQ(f.fakes.dialogs.alerts[0].message,
            "Het analyserapport is te groot om direct af te drukken.");
  EXPECT_EQ(f.fakes.dialogs.alerts[0].title, "Solvera Pro Audio+Light");
  EXPECT_EQ(f.fakes.dialogs.alerts[0].buttons, std::vector<std::string>{"OK"});
}

}  // namespace content_services_test
