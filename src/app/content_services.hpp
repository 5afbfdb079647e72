// The services the control page reaches through its script messages: the music library,
// session files, report printing and the headband bridge. The front end makes them and hands
// them to the delegate, which connects them to its control web view.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>

#include "bridge/muse_bridge.hpp"
#include "common/clock.hpp"
#include "common/json.hpp"
#include "content/analysis_print.hpp"
#include "content/music_library_installer.hpp"
#include "content/session_files.hpp"
#include "platform/page_bridge.hpp"
#include "platform/platform.hpp"

namespace solvera {

class ContentServices {
 public:
  struct Options {
    std::filesystem::path musicLibraryFolder;  // the folder the server serves the library from
    const Clock* clock = nullptr;              // null: the machine's clocks
  };

  static std::shared_ptr<ContentServices> create(const platform::Platform& platform,
                                                 const Options& options);

  // The web view the services reach the page through; until connected their page calls go
  // nowhere.
  void connectPage(WebViewProvider webView) { *page_ = std::move(webView); }
  // A script message for one of the services (the clipboard and editing focus are not theirs).
  void perform(const ScriptMessageAction& action);
  // The first finished load of the control page: the bridge starts, then the core library
  // is installed when it is missing.
  void firstPageDidLoad();
  // The headband's events also go here (a list of event objects per batch, on the main
  // thread), so that the session's record keeps them with no page.
  void recordHeadbandTo(std::function<void(const OrderedJson&)> sink) {
    *headbandSink_ = std::move(sink);
  }

  std::shared_ptr<MusicLibraryInstaller> musicLibrary;
  std::shared_ptr<SessionFiles> sessionFiles;
  std::shared_ptr<AnalysisPrinter> analysisPrinter;
  std::shared_ptr<MuseBridge> museBridge;

 private:
  std::shared_ptr<WebViewProvider> page_ = std::make_shared<WebViewProvider>();
  std::shared_ptr<std::function<void(const OrderedJson&)>> headbandSink_ =
      std::make_shared<std::function<void(const OrderedJson&)>>();
};

}  // namespace solvera
