// Installing the music library: the automatic download of the core library and the manual
// installation of a package the user picks. Progress and results go to the page.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/app_info.hpp"
#include "common/serial_queue.hpp"
#include "content/download_client.hpp"
#include "platform/page_bridge.hpp"
#include "platform/platform.hpp"

namespace solvera {

class MusicLibraryInstaller : public std::enable_shared_from_this<MusicLibraryInstaller> {
 public:
  static constexpr const char* kCoreMusicLibraryPath = "/Solvera-Pro-Core-Music-Library.zip";

  struct Options {
    std::filesystem::path libraryURL;  // the installed library folder
    std::optional<std::string> productCode;
    std::string coreMusicLibraryURL;                 // empty: no automatic download
    std::string coreMusicLibrarySHA256;              // empty: no automatic download
    std::filesystem::path temporaryDir;              // empty: the system temporary folder
    std::shared_ptr<DownloadClient> downloadClient;  // nothing: the shared HTTP client
    std::chrono::seconds downloadTimeout{60};
  };

  // Options from the application information: product code, download address, digest.
  static Options optionsFrom(const AppInfo& info, std::filesystem::path libraryURL);
  static bool productIncludesMusic(const std::optional<std::string>& productCode);

  static std::shared_ptr<MusicLibraryInstaller> create(platform::Dialogs& dialogs,
                                                       WebViewProvider webView, Options options);
  // Aborts a running download and waits for the installation worker.
  ~MusicLibraryInstaller();

  // Main thread. Downloads and installs the core library when the product includes music,
  // the download is configured and no valid library is installed.
  void installCoreMusicLibraryIfNeeded();
  // Main thread. Lets the user pick a package, unless an installation is running.
  void installMusicLibrary();
  // Main thread. Validates the chosen folder and copies it into place in the background.
  void copyMusicLibrary(const std::filesystem::path& from);
  bool isInstallingMusicLibrary() const { return shared_->installing.load(); }

 private:
  struct Shared {
    std::atomic<bool> installing{false};
    std::atomic<bool> cancelled{false};
  };

  MusicLibraryInstaller(platform::Dialogs& dialogs, WebViewProvider webView, Options options);
  // Queues a page call on the main thread; dropped when the installer is gone by then.
  static void evaluateLater(std::weak_ptr<MusicLibraryInstaller> weak, std::string script);
  void runDownloadHandler();
  // The download handler's steps; the failed stage's word, or empty after success.
  std::string downloadAndInstall(const std::weak_ptr<MusicLibraryInstaller>& weak,
                                 std::size_t& count);
  void runCopy(const std::filesystem::path& source);

  platform::Dialogs& dialogs_;
  WebViewProvider webView_;
  Options options_;
  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
  // One worker for every installation, so that two can never share the staging folder.
  std::unique_ptr<SerialQueue> worker_;
};

}  // namespace solvera
