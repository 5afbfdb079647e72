// Delegate operations of the music library, session files, report printing and the headband
// bridge. They forward to the services of src/content and src/bridge, made on first use and
// reaching the page through the control web view while it exists.
#include "app/app_delegate.hpp"
#include "bridge/muse_bridge.hpp"
#include "content/analysis_print.hpp"
#include "content/music_library_installer.hpp"
#include "content/session_files.hpp"

namespace solvera {

struct AppDelegate::ContentState {
  std::shared_ptr<MusicLibraryInstaller> musicLibrary;
  std::shared_ptr<SessionFiles> sessionFiles;
  std::shared_ptr<AnalysisPrinter> analysisPrinter;
  std::shared_ptr<MuseBridge> museBridge;
};

AppDelegate::ContentState& AppDelegate::contentState() {
  if (contentState_) return *contentState_;
  auto state = std::make_shared<ContentState>();
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  auto webView = [weak]() -> std::shared_ptr<platform::WebView> {
    auto self = weak.lock();
    return self ? self->controlWebView() : nullptr;
  };
  const AppInfo& info = platform_.bundle.info;

  // The same folder the server serves under "/music-library/".
  state->musicLibrary = MusicLibraryInstaller::create(
      platform_.dialogs, webView, MusicLibraryInstaller::optionsFrom(info, musicLibraryFolder()));
  state->sessionFiles = SessionFiles::create(platform_.dialogs, webView);
  state->analysisPrinter =
      AnalysisPrinter::create(platform_.workspace, [weak](const std::string& message) {
        if (auto self = weak.lock()) self->showInfoAlert(message);
      });

  MuseBridge::Options bridge;
  bridge.productCode = info.productCode;
  bridge.resourceDir = platform_.bundle.resourceDir;
  if (options_.clock) bridge.clock = options_.clock;
  state->museBridge = MuseBridge::create(webView, std::move(bridge));

  contentState_ = std::move(state);
  return *contentState_;
}

void AppDelegate::installMusicLibrary() {
  contentState().musicLibrary->installMusicLibrary();
}

void AppDelegate::installCoreMusicLibraryIfNeeded() {
  contentState().musicLibrary->installCoreMusicLibraryIfNeeded();
}

bool AppDelegate::isInstallingMusicLibrary() const {
  return contentState_ && contentState_->musicLibrary->isInstallingMusicLibrary();
}

void AppDelegate::importSessionFile() {
  contentState().sessionFiles->importSessionFile();
}

void AppDelegate::exportSessionFile(const std::string& filename, const std::string& content) {
  contentState().sessionFiles->exportSessionFile(filename, content);
}

void AppDelegate::printAnalysisReport(const std::string& html, const std::string& title) {
  contentState().analysisPrinter->printAnalysisReport(html, title);
}

void AppDelegate::startMuseBridgeIfNeeded() {
  contentState().museBridge->startMuseBridgeIfNeeded();
}

void AppDelegate::restartMuseBridge() {
  contentState().museBridge->restartMuseBridge();
}

void AppDelegate::stopMuseBridge() {
  // Nothing was ever started when the services were never made.
  if (contentState_) contentState_->museBridge->stopMuseBridge();
}

void AppDelegate::terminateOrphanedMuseBridgeProcessesIfNeeded() {
  contentState().museBridge->terminateOrphanedMuseBridgeProcessesIfNeeded();
}

}  // namespace solvera
