// Start-up and shutdown of the application.
#include "app/app_delegate.hpp"

#include "app/content_services.hpp"
#include "app/update_check.hpp"
#include "common/xdg.hpp"
#include "dmx/dmx_outputs.hpp"
#include "platform/page_bridge.hpp"
#include "server/session_routes.hpp"

namespace solvera {

std::shared_ptr<AppDelegate> AppDelegate::create(platform::Platform platform, Options options) {
  auto delegate =
      std::shared_ptr<AppDelegate>(new AppDelegate(std::move(platform), std::move(options)));
  // The shortcuts and the content services reach the page through the control window.
  std::weak_ptr<AppDelegate> weak = delegate;
  auto webView = [weak]() -> std::shared_ptr<platform::WebView> {
    auto self = weak.lock();
    return self ? self->controlWebView() : nullptr;
  };
  auto windowExists = [weak] {
    auto self = weak.lock();
    return self && self->interfaceWindow_;
  };
  const Options& given = delegate->options_;
  auto inputLog = given.inputLogFile.empty() ? xdg::inputLogFile(delegate->productDisplayName())
                                             : given.inputLogFile;
  delegate->shortcuts_ =
      ShortcutController::create(given.clock ? *given.clock : systemClock(), std::move(inputLog),
                                 {std::move(windowExists), webView});
  if (given.content) given.content->connectPage(std::move(webView));
  return delegate;
}

AppDelegate::AppDelegate(platform::Platform platform, Options options)
    : platform_(std::move(platform)), options_(std::move(options)), port_(options_.port) {}

AppDelegate::~AppDelegate() = default;

std::string AppDelegate::productDisplayName() const {
  return platform_.bundle.info.productDisplayName();
}

std::string AppDelegate::startFailureMessage() const {
  return "Kon de lokale server niet starten. Sluit andere " + productDisplayName() +
         "-vensters en probeer opnieuw.";
}

std::string AppDelegate::controlInterfaceURL(std::uint16_t port) {
  return "http://127.0.0.1:" + std::to_string(port);
}

void AppDelegate::applicationDidFinishLaunching() {
  shortcuts_->installMenu(platform_.shell, productDisplayName());
  if (options_.content) {
    options_.content->museBridge->terminateOrphanedMuseBridgeProcessesIfNeeded();
  }
  isStartingMain_ = true;
  closeCurrentWindow();
  startMain();
}

std::filesystem::path AppDelegate::musicLibraryFolder() const {
  return options_.musicLibraryURL.empty() ? xdg::musicLibraryDir() : options_.musicLibraryURL;
}

void AppDelegate::startMain() {
  if (server_) return;
  std::filesystem::path resources = platform_.bundle.resourceDir.value_or(".");
  StaticServer::Options serverOptions;
  serverOptions.rootURL = resources / "public";
  serverOptions.musicLibraryURL = musicLibraryFolder();
  serverOptions.preferredPort = port_;
  RouteSettings routes;
  routes.appInfo = platform_.bundle.info;
  routes.dmxOutputs = std::make_shared<dmx::DmxOutputs>(*routes.clock);
  auto server = StaticServer::create(std::move(serverOptions), standardRoutes(std::move(routes)));

  std::weak_ptr<AppDelegate> weak = weak_from_this();
  try {
    server->start(
        [weak] {
          auto self = weak.lock();
          if (!self) return;
          self->isStartingMain_ = false;
          self->openControlInterface();
          self->installInputControls();
          if (self->options_.updates) self->options_.updates->checkForUpdate();
        },
        [weak](const Error&) {
          auto self = weak.lock();
          if (!self) return;
          self->isStartingMain_ = false;
          self->showWindow(self->startFailureMessage());
        });
  } catch (const ErrorException&) {
    isStartingMain_ = false;
    showWindow(startFailureMessage());
    return;
  }
  server_ = std::move(server);
  connectPlayer();
}

// The keys, the media controls and the headband reach the session player directly, so that
// they work with no page open.
void AppDelegate::connectPlayer() {
  std::weak_ptr<StaticServer> weak = server_;
  shortcuts_->connectPlayer(
      {[weak] {
         auto server = weak.lock();
         if (!server) return false;
         session::SessionPlayer& player = server->session().player();
         const bool on = !player.blackout();
         player.setBlackout(on);
         return on;
       },
       [weak]() -> std::string {
         auto server = weak.lock();
         if (!server) return "";
         session::SessionPlayer& player = server->session().player();
         switch (player.status().state) {
           case session::PlayerState::running: return player.pause() ? "pause" : "";
           case session::PlayerState::paused: return player.resume() ? "resume" : "";
           default: return "";
         }
       }});
  if (options_.content) {
    options_.content->recordHeadbandTo([weak](const OrderedJson& events) {
      if (auto server = weak.lock()) server->session().player().headbandEvents(events);
    });
  }
}

void AppDelegate::openControlInterface() {
  std::uint16_t port = server_ ? server_->port() : port_;
  if (interfaceWindow_) {
    platform_.shell.presentControlWindow();
    platform_.shell.activate();
    return;
  }
  platform::ControlWindowSpec spec;
  spec.title = productDisplayName();
  spec.url = controlInterfaceURL(port);
  if (server_) spec.otherDevicesURL = server_->controlURL();
  spec.scriptMessageNames = scriptMessageNames();
  controlWebView_ = platform_.shell.openControlWindow(spec);
  installMediaKeyMonitor();
  interfaceWindow_ = true;
  platform_.shell.activate();
}

void AppDelegate::showWindow(const std::string& message) {
  closeCurrentWindow();
  std::string name = productDisplayName();
  platform_.shell.showMessageWindow(
      {name, "Brainwave Entrainment", message, "Open interface", "Stop " + name});
  window_ = true;
  platform_.shell.activate();
}

void AppDelegate::closeCurrentWindow() {
  if (!window_) return;
  platform_.shell.retireMessageWindow();
  ++retiredWindows_;
  window_ = false;
}

void AppDelegate::applicationShouldHandleReopen() {
  // While the server is still starting there is nothing yet; its window comes up in front.
  if (interfaceWindow_) {
    openControlInterface();
  } else {
    platform_.shell.activate();
  }
}

void AppDelegate::openInterfaceButtonClicked() { openControlInterface(); }

void AppDelegate::quitButtonClicked() { platform_.shell.terminate(); }

void AppDelegate::controlWindowWillClose() {
  interfaceWindow_ = false;
  controlWebView_.reset();
  platform_.shell.terminate();
}

bool AppDelegate::applicationShouldTerminateAfterLastWindowClosed() { return !isStartingMain_; }

// The key filters' decisions are the shortcut controller's.
bool AppDelegate::applicationKeyEvent(const platform::KeyEvent& event) {
  return shortcuts_->applicationKeyEvent(event);
}

bool AppDelegate::controlWindowKeyEvent(const platform::KeyEvent& event) {
  return shortcuts_->controlWindowKeyEvent(event);
}

bool AppDelegate::controlWebViewKeyEvent(const platform::KeyEvent& event) {
  return shortcuts_->controlWebViewKeyEvent(event);
}

void AppDelegate::applicationWillTerminate() {
  if (terminated_) return;
  terminated_ = true;
  if (server_) server_->blackoutDmxOutputs();
  if (mediaKeyMonitor_) {
    platform_.shell.removeLocalKeyMonitor(*mediaKeyMonitor_);
    mediaKeyMonitor_.reset();
  }
  // Nothing was started when there are no content services.
  if (options_.content) options_.content->museBridge->stopMuseBridge();
  for (auto token : remoteCommandTargets_) platform_.mediaRemote.removeHandler(token);
  remoteCommandTargets_.clear();
  platform_.mediaRemote.clearNowPlaying();
  if (server_) server_->stop();
}

}  // namespace solvera
