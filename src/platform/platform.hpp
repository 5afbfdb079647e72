// Thin interfaces to the desktop: one per service. The GTK front end implements them for the
// window build, the headless front end for a machine without a display, fakes for tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/app_info.hpp"
#include "common/json_fwd.hpp"

namespace solvera::platform {

// What a script evaluation gave back (platform/script_result.hpp).
struct ScriptResult;

// The control web view.
class WebView {
 public:
  virtual ~WebView() = default;
  // Evaluates a script in the page; done (optional) runs later on the main thread.
  virtual void evaluateScript(const std::string& script,
                              std::function<void(const ScriptResult&)> done = {}) = 0;
};

struct ControlWindowSpec {
  std::string title;
  int width = 1280;
  int height = 860;
  std::string url;
  // Script-message names registered on the web view, in this order.
  std::vector<std::string> scriptMessageNames;
  // The control page's address for other devices, with its token; a headless run prints it.
  std::string otherDevicesURL = {};
};

struct MessageWindowSpec {
  std::string title;            // also the bold 28 pt title label
  std::string subtitle;         // "Brainwave Entrainment"
  std::string message;
  std::string openButtonTitle;  // "Open interface"
  std::string stopButtonTitle;  // "Stop " + display name
};

struct MenuItem {
  std::string title;
  // An editing command of the focused widget ("undo", "redo", "cut", "copy", "paste",
  // "selectAll", "quit") or empty for an action of ours.
  std::string command;
  std::string key;  // accelerator key with Control; an upper-case letter implies Shift
  std::function<void()> action;
  bool separator = false;
};

struct Menu {
  std::string title;  // empty for the application menu
  std::vector<MenuItem> items;
};

// A key event as the shortcut filters see it. Key codes are the ones the input log names
// (Right Arrow 124, F5 96, the macOS virtual key codes); every other key is kOtherKey.
struct KeyEvent {
  static constexpr int kOtherKey = -1;
  static constexpr int kRightArrow = 124;
  static constexpr int kF5 = 96;

  enum class Type { keyDown, mediaPlayDown };
  Type type = Type::keyDown;
  int keyCode = kOtherKey;
  bool isRepeat = false;  // a press of a key already held
  bool shift = false;
  bool control = false;
  bool option = false;   // Alt
  bool command = false;  // Super/Meta
};

// What the page's file input allows.
struct FileInputRequest {
  bool allowsDirectories = false;
  bool allowsMultipleSelection = false;
};

// What the desktop tells the application logic (the application delegate implements it).
class ShellEvents {
 public:
  virtual ~ShellEvents() = default;
  virtual void openInterfaceButtonClicked() = 0;
  virtual void quitButtonClicked() = 0;
  // The control window is closing (the user closed it).
  virtual void controlWindowWillClose() = 0;
  // Asked when the last window has closed.
  virtual bool applicationShouldTerminateAfterLastWindowClosed() = 0;

  // The web view of the control window: a load finished (failed loads do not count), the
  // page posted a script message under a registered name, the page asked for a new window
  // (a link with a target, window.open; no second web view is ever made), the page's file
  // input asks for files (done receives the chosen files, none on cancel).
  virtual void webViewDidFinishLoad(WebView&) {}
  virtual void didReceiveScriptMessage(const std::string& /*name*/, const Json& /*body*/) {}
  virtual void webViewRequestsNewWindow(const std::string& /*url*/) {}
  // By value: an implementation keeps the callback until the choice is made.
  virtual void webViewRunOpenPanel(const FileInputRequest&,
                                   // NOLINTNEXTLINE(performance-unnecessary-value-param)
                                   std::function<void(std::vector<std::filesystem::path>)> done) {
    done({});
  }

  // Key filters in the capture phase, outermost first: every window of the application,
  // the control window, the control web view. True consumes the event.
  virtual bool applicationKeyEvent(const KeyEvent&) { return false; }
  virtual bool controlWindowKeyEvent(const KeyEvent&) { return false; }
  virtual bool controlWebViewKeyEvent(const KeyEvent&) { return false; }
};

// The application, its windows and its menu.
class Shell {
 public:
  virtual ~Shell() = default;
  // Creates the control window with its web view, which starts loading spec.url.
  virtual std::shared_ptr<WebView> openControlWindow(const ControlWindowSpec& spec) = 0;
  // Brings the existing control window to the front.
  virtual void presentControlWindow() = 0;
  // Shows the small message window (replacing a previous one).
  virtual void showMessageWindow(const MessageWindowSpec& spec) = 0;
  // Takes the message window off screen without destroying it.
  virtual void retireMessageWindow() = 0;
  virtual void installMainMenu(const std::vector<Menu>& menus) = 0;
  // Ends the main loop; the front end then runs the termination sequence.
  virtual void terminate() = 0;
  // Brings the application to the front.
  virtual void activate() = 0;

  // A local key monitor sees this application's key events before the key filters; a
  // monitor answering true swallows the event.
  using KeyMonitorToken = std::uint64_t;
  // By value: an implementation keeps the monitor.
  // NOLINTNEXTLINE(performance-unnecessary-value-param)
  virtual KeyMonitorToken addLocalKeyMonitor(std::function<bool(const KeyEvent&)>) { return 0; }
  virtual void removeLocalKeyMonitor(KeyMonitorToken) {}
};

struct OpenPanelOptions {
  std::string title;
  std::string prompt;  // confirm button
  bool canChooseFiles = true;
  bool canChooseDirectories = false;
  bool allowsMultipleSelection = false;
  std::vector<std::string> mimeTypes;   // e.g. "audio/*"; empty = anything
  std::vector<std::string> extensions;  // e.g. "svpmusic"; empty = anything
};

struct SavePanelOptions {
  std::string title;
  std::string prompt;
  std::string proposedName;
  std::vector<std::string> extensions;
};

struct AlertSpec {
  std::string title;
  std::string message;
  std::vector<std::string> buttons;  // the first is the default
};

// Panels and alerts; all modal to the control window when it exists.
class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // done receives the chosen paths, or none when cancelled.
  virtual void runOpenPanel(const OpenPanelOptions& options,
                            std::function<void(std::vector<std::filesystem::path>)> done) = 0;
  virtual void runSavePanel(const SavePanelOptions& options,
                            std::function<void(std::optional<std::filesystem::path>)> done) = 0;
  // done receives the index of the button pressed.
  virtual void runAlert(const AlertSpec& alert, std::function<void(int)> done) = 0;
};

class Clipboard {
 public:
  virtual ~Clipboard() = default;
  // The plain-text content, or empty text when the clipboard holds none.
  virtual void readText(std::function<void(std::string)> done) = 0;
};

// The desktop's default handlers.
class Workspace {
 public:
  virtual ~Workspace() = default;
  virtual bool openURL(const std::string& url) = 0;               // default browser
  virtual bool openFile(const std::filesystem::path& file) = 0;   // default application
};

// The system's media controls (MPRIS on Linux).
class MediaRemote {
 public:
  enum class Command { play, pause, togglePlayPause };
  using Token = std::uint64_t;
  virtual ~MediaRemote() = default;
  virtual Token addHandler(Command command, std::function<void()> handler) = 0;
  virtual void removeHandler(Token token) = 0;
  virtual void setNowPlaying(const std::string& title, const std::string& artist) = 0;
  virtual void clearNowPlaying() = 0;
};

// The user's preferences (text values by key).
class Preferences {
 public:
  virtual ~Preferences() = default;
  virtual std::optional<std::string> string(const std::string& key) = 0;
  virtual void setString(const std::string& key, const std::string& value) = 0;
};

// The application's bundle: its resource folder and information.
struct Bundle {
  std::optional<std::filesystem::path> resourceDir;
  AppInfo info;
};

// Everything the application logic reaches the desktop through.
struct Platform {
  Shell& shell;
  Dialogs& dialogs;
  Clipboard& clipboard;
  Workspace& workspace;
  MediaRemote& mediaRemote;
  Preferences& preferences;
  Bundle bundle;
};

}  // namespace solvera::platform
