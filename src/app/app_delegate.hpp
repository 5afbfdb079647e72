// The application delegate: start-up, the control window, the message window and shutdown.
// Plain C++ over the platform interfaces; everything here runs on the main thread. Shortcuts
// go to its ShortcutController; the content services and the update check are made by the
// front end and handed in.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/shortcuts.hpp"
#include "common/clock.hpp"
#include "platform/platform.hpp"
#include "server/static_server.hpp"

namespace solvera {

class ContentServices;
class UpdateCheck;

class AppDelegate : public platform::ShellEvents,
                    public std::enable_shared_from_this<AppDelegate> {
 public:
  struct Options {
    std::uint16_t port = StaticServer::kDefaultPort;
    std::filesystem::path musicLibraryURL;  // empty: the user's music library folder
    std::filesystem::path inputLogFile;     // empty: the user's input log
    const Clock* clock = nullptr;           // null: the machine's clocks
    // None: the page's content messages do nothing; no update check.
    std::shared_ptr<ContentServices> content;
    std::shared_ptr<UpdateCheck> updates;
  };

  static std::shared_ptr<AppDelegate> create(platform::Platform platform, Options options);
  ~AppDelegate() override;

  // Launch: menu, orphaned bridges, then the server.
  void applicationDidFinishLaunching();
  void startMain();
  void openControlInterface();
  void showWindow(const std::string& message);
  void closeCurrentWindow();
  // The program was started again while running: bring forward what is on screen.
  void applicationShouldHandleReopen();
  // Shutdown, in order: blackout, media-key monitor, bridge, remote commands, server.
  void applicationWillTerminate();

  // platform::ShellEvents
  void openInterfaceButtonClicked() override;
  void quitButtonClicked() override;
  void controlWindowWillClose() override;
  bool applicationShouldTerminateAfterLastWindowClosed() override;
  void webViewDidFinishLoad(platform::WebView& webView) override;
  void didReceiveScriptMessage(const std::string& name, const Json& body) override;
  void webViewRequestsNewWindow(const std::string& url) override;
  void webViewRunOpenPanel(
      const platform::FileInputRequest& request,
      std::function<void(std::vector<std::filesystem::path>)> done) override;
  bool applicationKeyEvent(const platform::KeyEvent& event) override;
  bool controlWindowKeyEvent(const platform::KeyEvent& event) override;
  bool controlWebViewKeyEvent(const platform::KeyEvent& event) override;

  std::string productDisplayName() const;
  // "Kon de lokale server niet starten. Sluit andere <name>-vensters en probeer opnieuw."
  std::string startFailureMessage() const;
  // The control interface address for a port: "http://127.0.0.1:<port>".
  static std::string controlInterfaceURL(std::uint16_t port);

  // Web bridge (web_bridge.cpp): the clipboard reply to the page.
  void replyWithClipboardText();

  // Media keys and remote commands (media_controls.cpp): all of them toggle breathing.
  void installInputControls();
  void installRemoteCommandHandlers();
  void installMediaKeyMonitor();

  // The key filters, the toggles, the menu and the input log.
  ShortcutController& shortcuts() const { return *shortcuts_; }

  // State, readable by tests.
  const std::shared_ptr<StaticServer>& server() const { return server_; }
  bool isStartingMain() const { return isStartingMain_; }
  bool hasMessageWindow() const { return window_; }
  bool hasInterfaceWindow() const { return interfaceWindow_; }
  std::size_t retiredWindowCount() const { return retiredWindows_; }
  std::shared_ptr<platform::WebView> controlWebView() const { return controlWebView_.lock(); }
  bool automaticMusicLibraryCheckStarted() const { return automaticMusicLibraryCheckStarted_; }
  std::uint16_t port() const { return port_; }

 private:
  AppDelegate(platform::Platform platform, Options options);

  // The installed music library: the server serves it and the installer fills it.
  std::filesystem::path musicLibraryFolder() const;
  void connectPlayer();

  platform::Platform platform_;
  Options options_;
  std::shared_ptr<StaticServer> server_;
  bool isStartingMain_ = false;
  bool automaticMusicLibraryCheckStarted_ = false;
  const std::uint16_t port_;
  bool window_ = false;           // the message window is on screen
  bool interfaceWindow_ = false;  // the control window exists
  std::weak_ptr<platform::WebView> controlWebView_;
  std::optional<platform::Shell::KeyMonitorToken> mediaKeyMonitor_;
  std::vector<platform::MediaRemote::Token> remoteCommandTargets_;
  std::size_t retiredWindows_ = 0;  // message windows taken off screen, kept by the shell
  bool inputControlsInstalled_ = false;
  bool terminated_ = false;
  std::shared_ptr<ShortcutController> shortcuts_;
};

}  // namespace solvera
