// The content services, made and connected to the page.
#include "app/content_services.hpp"

namespace solvera {

std::shared_ptr<ContentServices> ContentServices::create(const platform::Platform& platform,
                                                         const Options& options) {
  auto services = std::make_shared<ContentServices>();
  WebViewProvider webView = [page = services->page_]() -> std::shared_ptr<platform::WebView> {
    return *page ? (*page)() : nullptr;
  };
  const AppInfo& info = platform.bundle.info;

  services->musicLibrary = MusicLibraryInstaller::create(
      platform.dialogs, webView,
      MusicLibraryInstaller::optionsFrom(info, options.musicLibraryFolder));
  services->sessionFiles = SessionFiles::create(platform.dialogs, webView);
  services->analysisPrinter = AnalysisPrinter::create(
      platform.workspace, [&shell = platform.shell, &dialogs = platform.dialogs,
                           name = info.productDisplayName()](const std::string& message) {
        shell.activate();
        dialogs.runAlert({name, message, {"OK"}}, [](int) {});
      });

  MuseBridge::Options bridge;
  bridge.productCode = info.productCode;
  bridge.resourceDir = platform.bundle.resourceDir;
  if (options.clock) bridge.clock = options.clock;
  bridge.onEvents = [sink = services->headbandSink_](const std::vector<std::string_view>& lines) {
    if (!*sink) return;
    // The bridge's lines are only object-shaped; those that are not JSON are left out here.
    OrderedJson events = OrderedJson::array();
    for (std::string_view line : lines) {
      if (auto event = parseOrderedJson(line); event && event->is_object()) {
        events.push_back(std::move(*event));
      }
    }
    if (!events.empty()) (*sink)(events);
  };
  services->museBridge = MuseBridge::create(webView, std::move(bridge));
  return services;
}

void ContentServices::perform(const ScriptMessageAction& action) {
  using Kind = ScriptMessageAction::Kind;
  switch (action.kind) {
    case Kind::restartMuseBridge: museBridge->restartMuseBridge(); break;
    case Kind::installMusicLibrary: musicLibrary->installMusicLibrary(); break;
    case Kind::importSessionFile: sessionFiles->importSessionFile(); break;
    case Kind::exportSessionFile:
      sessionFiles->exportSessionFile(action.filename, action.content);
      break;
    case Kind::printAnalysisReport:
      analysisPrinter->printAnalysisReport(action.html, action.title);
      break;
    case Kind::readClipboard:
    case Kind::setEditingFocus: break;
  }
}

void ContentServices::firstPageDidLoad() {
  museBridge->startMuseBridgeIfNeeded();
  musicLibrary->installCoreMusicLibraryIfNeeded();
}

}  // namespace solvera
