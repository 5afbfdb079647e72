// The application delegate: start-up, the control window, the message window and shutdown.
// Plain C++ over the platform interfaces; everything here runs on the main thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.hpp"
#include "platform/platform.hpp"
#include "server/static_server.hpp"

namespace solvera {

class AppDelegate : public platform::ShellEvents,
                    public std::enable_shared_from_this<AppDelegate> {
 public:
  struct Options {
    std::uint16_t port = StaticServer::kDefaultPort;
    std::filesystem::path musicLibraryURL;  // empty: the user's music library folder
    std::filesystem::path inputLogFile;     // empty: the user's input log
    const Clock* clock = nullptr;           // null: the machine's clocks
  };

  static std::shared_ptr<AppDelegate> create(platform::Platform platform, Options options);
  ~AppDelegate() override;

  // Launch: menu, orphaned bridges, then the server.
  void applicationDidFinishLaunching();
  void startMain();
  void openControlInterface();
  void showWindow(const std::string& message);
  void showInfoAlert(const std::string& message);
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

  // Shortcuts and menu (shortcuts.cpp).
  void installShortcutMenu();
  bool handleApplicationShortcut(const platform::KeyEvent& event);
  bool keyBelongsToPage(const platform::KeyEvent& event) const;
  void controlWindowDidRequestBreathingToggle(const std::string& source);
  void controlWindowDidRequestBlackoutToggle(const std::string& source);
  void controlWebViewDidRequestBreathingToggle();
  void controlWebViewDidRequestBlackoutToggle();
  void toggleBreathingShortcut();
  void toggleBlackoutShortcut();
  void toggleBreathingCoaching();
  void toggleBlackout();
  void runWebShortcut(const std::string& functionName, const std::string& fallbackScript,
                      int attemptsRemaining = 12);
  // Appends one complete line to the input log; logInput stamps the time in front of fields.
  void appendInputLog(const std::string& line);
  void logInput(const std::string& fields);
  const std::filesystem::path& inputLogFile() const { return inputLogFile_; }

  // Media keys and remote commands (media_controls.cpp).
  void installInputControls();
  void installRemoteCommandHandlers();
  void installMediaKeyMonitor();

  // Music library, session files, report printing and the headband bridge
  // (delegate_content.cpp; state in ContentState).
  void installMusicLibrary();
  void installCoreMusicLibraryIfNeeded();
  void importSessionFile();
  void exportSessionFile(const std::string& filename, const std::string& content);
  void printAnalysisReport(const std::string& html, const std::string& title);
  void startMuseBridgeIfNeeded();
  void restartMuseBridge();
  void stopMuseBridge();
  void terminateOrphanedMuseBridgeProcessesIfNeeded();
  bool isInstallingMusicLibrary() const;

  // Update check (delegate_update.cpp; state in UpdateState).
  void checkForUpdate();
  void showUpdateAlert(const std::string& latestVersion, const std::optional<std::string>& message,
                       const std::optional<std::string>& changelogURL);

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

  // State of the services kept in their own files; shared_ptr so that this header needs
  // only their names.
  struct ContentState;
  struct UpdateState;
  ContentState& contentState();  // made on first use
  // The installed music library: the server serves it and the installer fills it.
  std::filesystem::path musicLibraryFolder() const;
  std::shared_ptr<ContentState> contentState_;
  std::shared_ptr<UpdateState> updateState_;

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
  const Clock& clock_;
  std::filesystem::path inputLogFile_;
  bool pageEditing_ = false;  // a page element that takes typed keys has focus
  double lastMediaToggleTime_ = 0;    // uptime seconds of the last accepted breathing toggle
  double lastBlackoutToggleTime_ = 0;  // and of the last accepted blackout toggle
};

}  // namespace solvera
