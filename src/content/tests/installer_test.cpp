// The installer end to end: a real libcurl download from a stand-in server on loopback,
// digest, extraction, installation, and the calls the page receives.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "common/main_thread.hpp"
#include "content/music_library.hpp"
#include "content/music_library_installer.hpp"
#include "content/tests/download_server.hpp"
#include "content/tests/test_archive.hpp"
#include "platform/fake_platform.hpp"
#include "server/tests/test_client.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace installer_test {

using namespace solvera;
using solvera::test::ArchiveEntry;
using solvera::test::TempDir;
namespace fs = std::filesystem;

namespace {

std::string digestOf(const std::string& bytes) {
  TempDir dir;
  dir.write("x", bytes);
  return *sha256(dir.path() / "x");
}

std::string status(const std::string& word, const std::string& message = "") {
  return pagecall::musicLibraryDownloadStatus(word, message);
}

std::string installed(bool ok, const std::string& message) {
  return pagecall::musicLibraryInstalled(ok, message);
}

struct Fixture {
  explicit Fixture(std::optional<std::string> productCode = "audio-light") {
    fs::create_directories(temporary());
    options.libraryURL = library();
    options.productCode = std::move(productCode);
    options.coreMusicLibraryURL = server.baseURL() + MusicLibraryInstaller::kCoreMusicLibraryPath;
    options.temporaryDir = temporary();
  }

  // Serves the archive with its digest configured (or another digest when given).
  void serve(const std::string& zip, std::optional<std::string> digest = std::nullopt) {
    server.set(MusicLibraryInstaller::kCoreMusicLibraryPath, {"200 OK", zip});
    options.coreMusicLibrarySHA256 = digest ? *digest : digestOf(zip);
  }

  std::shared_ptr<MusicLibraryInstaller>& installer() {
    if (!made) {
      made = MusicLibraryInstaller::create(
          fakes.dialogs, [this] { return view; }, options);
    }
    return made;
  }

  // Waits for the one final report of an installation.
  bool waitForFinalReport() {
    return mainthread::runUntil([&] {
      for (const auto& s : view->scripts()) {
        if (s.find("Installed") != std::string::npos || s.find("\"failed\"") != std::string::npos) {
          return true;
        }
      }
      return false;
    });
  }

  // Runs the main loop briefly so that anything queued reaches the page.
  void drainMainLoop() {
    bool done = false;
    mainthread::post([&] { done = true; });
    mainthread::runUntil([&] { return done; });
  }

  std::vector<fs::path> temporaryLeftovers() const {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(temporary())) out.push_back(e.path());
    return out;
  }

  fs::path library() const { return dir.path() / "data" / "Solvera Pro" / "Music Library"; }
  fs::path temporary() const { return dir.path() / "tmp"; }

  TempDir dir;
  test::DownloadServer server;
  platform::FakePlatform fakes;
  std::shared_ptr<platform::FakeWebView> view = std::make_shared<platform::FakeWebView>();
  MusicLibraryInstaller::Options options;
  std::shared_ptr<MusicLibraryInstaller> made;
};

}  // namespace

TEST(AutomaticMusicLibrary, DownloadsVerifiesExtractsAndInstallsReportingEachStage) {
  Fixture f;
  f.serve(test::buildZip(test::libraryEntries(24)));
  f.installer()->installCoreMusicLibraryIfNeeded();
  EXPECT_TRUE(f.installer()->isInstallingMusicLibrary());
  ASSERT_TRUE(f.waitForFinalReport());
  EXPECT_EQ(f.view->scripts(),
            (std::vector<std::string>{status("downloading"), status("verifying"),
                                      status("installing"), installed(true, "24")}));
  EXPECT_EQ(f.view->scripts().back(), "window.solveraMusicLibraryInstalled?.(true, \"24\");")
      << "the count reaches the page as a string";
  EXPECT_FALSE(f.installer()->isInstallingMusicLibrary());
  EXPECT_EQ(validMusicLibraryTrackCount(f.library()), 24u);
  EXPECT_FALSE(fs::exists(musicLibraryStagingURL(f.library())));
  EXPECT_TRUE(f.temporaryLeftovers().empty()) << "download and work folder removed";

  auto requests = f.server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_TRUE(requests[0].starts_with("GET /Solvera-Pro-Core-Music-Library.zip HTTP/1.1"));
  EXPECT_NE(requests[0].find("Cache-Control: no-cache"), std::string::npos);

  // Installed now: the next check does nothing at all.
  auto again = MusicLibraryInstaller::create(
      f.fakes.dialogs, [&] { return f.view; }, f.options);
  again->installCoreMusicLibraryIfNeeded();
  f.drainMainLoop();
  EXPECT_FALSE(again->isInstallingMusicLibrary());
  EXPECT_EQ(f.view->scripts().size(), 4u);
  EXPECT_EQ(f.server.requests().size(), 1u);
}

TEST(AutomaticMusicLibrary, InstallsFromTheSingleTopFolderButNotFromTwoLevelsDown) {
  Fixture nested;
  auto entries = test::libraryEntries(3, "Solvera Core/");
  entries.push_back({"__MACOSX/._manifest.json", "resource fork"});
  nested.serve(test::buildZip(entries));
  nested.installer()->installCoreMusicLibraryIfNeeded();
  ASSERT_TRUE(nested.waitForFinalReport());
  EXPECT_EQ(nested.view->scripts().back(), installed(true, "3"));
  EXPECT_EQ(validMusicLibraryTrackCount(nested.library()), 3u);
  EXPECT_TRUE(fs::exists(nested.library() / "tracks" / "2.mp3")) << "installed from the folder";

  Fixture deep;
  deep.serve(test::buildZip(test::libraryEntries(3, "outer/inner/")));
  deep.installer()->installCoreMusicLibraryIfNeeded();
  ASSERT_TRUE(deep.waitForFinalReport());
  EXPECT_EQ(deep.view->scripts(),
            (std::vector<std::string>{status("downloading"), status("verifying"),
                                      status("installing"), status("failed", "archive")}));
  EXPECT_FALSE(fs::exists(deep.library()));
  EXPECT_TRUE(deep.temporaryLeftovers().empty());
}

TEST(AutomaticMusicLibrary, WrongDigestInstallsNothingAndKeepsTheOldLibrary) {
  Fixture f;
  // A broken library is present (no tracks), so the check goes ahead; it must survive.
  f.dir.write("data/Solvera Pro/Music Library/manifest.json", "{}");
  f.serve(test::buildZip(test::libraryEntries(2)), std::string(64, '0'));
  f.installer()->installCoreMusicLibraryIfNeeded();
  ASSERT_TRUE(f.waitForFinalReport());
  EXPECT_EQ(f.view->scripts(), (std::vector<std::string>{status("downloading"), status("verifying"),
                                                         status("failed", "checksum")}));
  EXPECT_TRUE(fs::exists(f.library() / "manifest.json"));
  EXPECT_FALSE(fs::exists(f.library() / "tracks"));
  EXPECT_TRUE(f.temporaryLeftovers().empty());
  EXPECT_FALSE(f.installer()->isInstallingMusicLibrary());
}

TEST(AutomaticMusicLibrary, HostileArchivesFailAsArchiveAndWriteNothingOutside) {
  struct Case {
    const char* why;
    ArchiveEntry extra;
  };
  const Case cases[] = {
      {"../ entry", {"../escaped.txt", "outside"}},
      {"absolute path", {"/tmp/solvera-installer-absolute.txt", "outside"}},
      {"link pointing out",
       {"escaped.txt", "../../../../escaped.txt", ArchiveEntry::Type::symlink}},
  };
  for (const auto& c : cases) {
    Fixture f;
    auto entries = test::libraryEntries(1);
    entries.push_back(c.extra);
    f.serve(test::buildZip(entries));
    f.installer()->installCoreMusicLibraryIfNeeded();
    ASSERT_TRUE(f.waitForFinalReport()) << c.why;
    EXPECT_EQ(f.view->scripts().back(), status("failed", "archive")) << c.why;
    EXPECT_FALSE(fs::exists(f.library())) << c.why;
    EXPECT_TRUE(f.temporaryLeftovers().empty()) << c.why;
    EXPECT_FALSE(fs::exists(f.temporary() / "escaped.txt")) << c.why;
    EXPECT_FALSE(fs::exists(f.dir.path() / "escaped.txt")) << c.why;
  }
  EXPECT_FALSE(fs::exists("/tmp/solvera-installer-absolute.txt"));
}

TEST(AutomaticMusicLibrary, HttpErrorsAndUnreachableServersFailAsDownload) {
  for (const char* reply : {"404 Not Found", "500 Internal Server Error", "304 Not Modified"}) {
    Fixture f;
    f.server.set(MusicLibraryInstaller::kCoreMusicLibraryPath, {reply, "no"});
    f.options.coreMusicLibrarySHA256 = digestOf("no");  // even the right digest does not help
    f.installer()->installCoreMusicLibraryIfNeeded();
    ASSERT_TRUE(f.waitForFinalReport()) << reply;
    EXPECT_EQ(f.view->scripts(),
              (std::vector<std::string>{status("downloading"), status("failed", "download")}))
        << reply;
    EXPECT_TRUE(f.temporaryLeftovers().empty());
  }

  Fixture closed;
  std::uint16_t unusedPort;
  {
    test::DownloadServer gone;
    unusedPort = gone.port();
  }
  closed.options.coreMusicLibraryURL = "http://127.0.0.1:" + std::to_string(unusedPort) +
                                       MusicLibraryInstaller::kCoreMusicLibraryPath;
  closed.options.coreMusicLibrarySHA256 = std::string(64, 'a');
  closed.installer()->installCoreMusicLibraryIfNeeded();
  ASSERT_TRUE(closed.waitForFinalReport());
  EXPECT_EQ(closed.view->scripts().back(), status("failed", "download"));
}

TEST(AutomaticMusicLibrary, RunsOnlyForMusicProductsWithAConfiguredDownloadAndNoLibrary) {
  for (std::optional<std::string> code :
       {std::optional<std::string>(), std::optional<std::string>("video"),
        std::optional<std::string>(""), std::optional<std::string>("Audio")}) {
    Fixture f(code);
    f.serve(test::buildZip(test::libraryEntries(1)));
    f.installer()->installCoreMusicLibraryIfNeeded();
    f.drainMainLoop();
    EXPECT_FALSE(f.installer()->isInstallingMusicLibrary());
    EXPECT_TRUE(f.view->scripts().empty()) << code.value_or("(none)");
    EXPECT_TRUE(f.server.requests().empty()) << code.value_or("(none)");
  }
  for (const char* code : {"audio", "personal"}) {
    Fixture f(code);
    f.serve(test::buildZip(test::libraryEntries(1)));
    f.installer()->installCoreMusicLibraryIfNeeded();
    ASSERT_TRUE(f.waitForFinalReport());
    EXPECT_EQ(f.view->scripts().back(), installed(true, "1")) << code;
  }

  Fixture unconfigured;
  unconfigured.options = MusicLibraryInstaller::optionsFrom(AppInfo{}, unconfigured.library());
  unconfigured.options.productCode = "audio-light";
  EXPECT_EQ(unconfigured.options.coreMusicLibraryURL, "") << "empty base address: no download";
  unconfigured.installer()->installCoreMusicLibraryIfNeeded();
  unconfigured.drainMainLoop();
  EXPECT_TRUE(unconfigured.view->scripts().empty());

  Fixture present;
  present.serve(test::buildZip(test::libraryEntries(1)));
  test::writeLibrary(present.library(), 5);
  present.installer()->installCoreMusicLibraryIfNeeded();
  present.drainMainLoop();
  EXPECT_TRUE(present.view->scripts().empty()) << "a valid library is installed";
  EXPECT_TRUE(present.server.requests().empty());
}

TEST(AutomaticMusicLibrary, DownloadAddressComesFromTheContentBaseURL) {
  AppInfo info;
  info.productCode = "audio";
  info.contentBaseURL = "https://cdn.example.test/solvera/";
  info.coreMusicLibrarySHA256 = std::string(64, 'f');
  auto options = MusicLibraryInstaller::optionsFrom(info, "/lib");
  EXPECT_EQ(options.coreMusicLibraryURL,
            "https://cdn.example.test/solvera/Solvera-Pro-Core-Music-Library.zip");
  EXPECT_EQ(options.coreMusicLibrarySHA256, std::string(64, 'f'));
  EXPECT_EQ(options.productCode, "audio");
  EXPECT_EQ(options.libraryURL, "/lib");
}

TEST(ManualMusicLibrary, InstallsAChosenFolderAndReportsCancelAndInvalidChoices) {
  Fixture f;
  f.installer()->installMusicLibrary();
  ASSERT_EQ(f.fakes.dialogs.openPanels.size(), 1u);
  const auto& panel = f.fakes.dialogs.openPanels[0];
  EXPECT_EQ(panel.title, "Solvera Pro muziekbibliotheek installeren");
  EXPECT_EQ(panel.prompt, "Installeren");
  EXPECT_TRUE(panel.canChooseFiles);
  EXPECT_TRUE(panel.canChooseDirectories);
  EXPECT_FALSE(panel.allowsMultipleSelection);

  f.fakes.dialogs.pendingOpen.front()({});  // cancelled
  f.fakes.dialogs.pendingOpen.pop_front();
  EXPECT_FALSE(f.installer()->isInstallingMusicLibrary()) << "a cancel never sets the flag";
  f.drainMainLoop();
  EXPECT_EQ(f.view->scripts(), (std::vector<std::string>{installed(false, "cancelled")}));

  // The package's folder is named like a package, as a user's would be.
  test::writeLibrary(f.dir.path() / "Avond.svpmusic", 7);
  f.view->evaluations.clear();
  f.installer()->installMusicLibrary();
  f.fakes.dialogs.pendingOpen.front()({f.dir.path() / "Avond.svpmusic"});
  f.fakes.dialogs.pendingOpen.pop_front();
  ASSERT_TRUE(f.waitForFinalReport());
  EXPECT_EQ(f.view->scripts().back(), installed(true, "7"));
  EXPECT_EQ(validMusicLibraryTrackCount(f.library()), 7u);
  EXPECT_FALSE(f.installer()->isInstallingMusicLibrary());

  // A folder that only contains a package is not searched: "invalid", library untouched.
  test::writeLibrary(f.dir.path() / "outer" / "inner", 2);
  f.view->evaluations.clear();
  f.installer()->installMusicLibrary();
  f.fakes.dialogs.pendingOpen.front()({f.dir.path() / "outer"});
  f.fakes.dialogs.pendingOpen.pop_front();
  ASSERT_TRUE(f.waitForFinalReport());
  EXPECT_EQ(f.view->scripts(), (std::vector<std::string>{installed(false, "invalid")}));
  EXPECT_EQ(validMusicLibraryTrackCount(f.library()), 7u);
  EXPECT_TRUE(f.server.requests().empty()) << "manual installation never downloads";
}

TEST(ManualMusicLibrary, AFailedCopyReportsCopyAndLeavesNoStagingFolder) {
  Fixture f;
  test::writeLibrary(f.dir.path() / "pkg", 2);
  // A named pipe cannot be copied; everything the manifest names is fine.
  ASSERT_EQ(::mkfifo((f.dir.path() / "pkg" / "pipe").c_str(), 0600), 0);
  f.installer()->copyMusicLibrary(f.dir.path() / "pkg");
  ASSERT_TRUE(f.waitForFinalReport());
  EXPECT_EQ(f.view->scripts(), (std::vector<std::string>{installed(false, "copy")}));
  EXPECT_FALSE(fs::exists(musicLibraryStagingURL(f.library())));
  EXPECT_FALSE(f.installer()->isInstallingMusicLibrary());
}

TEST(ManualMusicLibrary, IsIgnoredWhileAnInstallationRuns) {
  Fixture f;
  auto zip = test::buildZip(test::libraryEntries(2));
  f.serve(zip);
  f.server.set(MusicLibraryInstaller::kCoreMusicLibraryPath, {"200 OK", zip, true});
  f.installer()->installCoreMusicLibraryIfNeeded();
  ASSERT_TRUE(f.server.waitForRequests(1));
  f.installer()->installMusicLibrary();
  EXPECT_TRUE(f.fakes.dialogs.openPanels.empty()) << "no panel while installing";
  f.server.release();
  ASSERT_TRUE(f.waitForFinalReport());
  EXPECT_EQ(f.view->scripts().size(), 4u) << "nothing reported for the ignored request";
  f.installer()->installMusicLibrary();
  EXPECT_EQ(f.fakes.dialogs.openPanels.size(), 1u) << "offered again once finished";
}

TEST(ManualMusicLibrary, AChoiceMadeDuringADownloadIsInstalledAfterItNotInterleaved) {
  Fixture f;
  auto zip = test::buildZip(test::libraryEntries(2));
  f.serve(zip);
  f.server.set(MusicLibraryInstaller::kCoreMusicLibraryPath, {"200 OK", zip, true});
  f.installer()->installMusicLibrary();  // the panel is open when the download begins
  f.installer()->installCoreMusicLibraryIfNeeded();
  ASSERT_TRUE(f.server.waitForRequests(1));
  test::writeLibrary(f.dir.path() / "Eigen.svpmusic", 9);
  f.fakes.dialogs.pendingOpen.front()({f.dir.path() / "Eigen.svpmusic"});
  f.server.release();
  ASSERT_TRUE(mainthread::runUntil([&] { return f.view->scripts().size() == 5; }));
  EXPECT_EQ(f.view->scripts(),
            (std::vector<std::string>{status("downloading"), status("verifying"),
                                      status("installing"), installed(true, "2"),
                                      installed(true, "9")}));
  EXPECT_EQ(validMusicLibraryTrackCount(f.library()), 9u) << "the later installation wins";
  EXPECT_FALSE(fs::exists(musicLibraryStagingURL(f.library())));
}

TEST(AutomaticMusicLibrary, GoingAwayMidDownloadAbortsAndReportsNothing) {
  Fixture f;
  auto zip = test::buildZip(test::libraryEntries(2));
  f.serve(zip);
  f.server.set(MusicLibraryInstaller::kCoreMusicLibraryPath, {"200 OK", zip, true});
  f.installer()->installCoreMusicLibraryIfNeeded();
  ASSERT_TRUE(f.server.waitForRequests(1));
  f.drainMainLoop();
  f.made.reset();  // waits for the worker, which the abort frees
  f.drainMainLoop();
  EXPECT_EQ(f.view->scripts(), (std::vector<std::string>{status("downloading")}));
  EXPECT_TRUE(f.temporaryLeftovers().empty());
  EXPECT_FALSE(fs::exists(f.library()));
}

TEST(AutomaticMusicLibrary, TheInstalledLibraryIsServedUnderMusicLibrary) {
  Fixture f;
  f.serve(test::buildZip(test::libraryEntries(4, "Kern/")));
  f.installer()->installCoreMusicLibraryIfNeeded();
  ASSERT_TRUE(f.waitForFinalReport());
  ASSERT_EQ(f.view->scripts().back(), installed(true, "4"));

  StaticServer::Options options;
  options.musicLibraryURL = f.library();
  test::RunningServer server(options);
  auto track = server.send(test::request("GET", "/music-library/tracks/3.mp3"));
  EXPECT_EQ(track.statusLine(), "HTTP/1.1 200 OK");
  EXPECT_EQ(track.body(), test::trackBytes(3));
  auto manifest = server.send(test::request("GET", "/music-library/manifest.json"));
  EXPECT_NE(manifest.body().find("solvera-music-library"), std::string::npos);
  auto outside = server.send(test::request("GET", "/music-library/../Music%20Library.installing"));
  EXPECT_EQ(outside.statusLine(), "HTTP/1.1 404 Not Found");
}

}  // namespace installer_test
