// The desktop shell on GTK 4 and WebKitGTK 6.0: the control window with its web view, the
// message window, the main menu and the key filters.
#pragma once

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <map>
#include <ostream>
#include <memory>
#include <vector>

#include "platform/platform.hpp"

namespace solvera::platform {

class DesktopWebView;

// Starts GTK; false when there is no display. On a machine without a graphics processor
// OpenGL is emulated on the processor: GTK's GL renderer and the web view's compositing then
// cost about a third of a second at every start, and processor time all along, for nothing
// the control page needs. There both draw in software instead, unless the user chose a
// renderer.
bool startGtk();

class DesktopShell : public Shell {
 public:
  // displayName names the untitled application menu; readyLine (optional) receives
  // "<title>: <url>" when the control window opens.
  DesktopShell(GtkApplication* application, std::string displayName,
               std::ostream* readyLine = nullptr);
  ~DesktopShell() override;
  DesktopShell(const DesktopShell&) = delete;
  DesktopShell& operator=(const DesktopShell&) = delete;

  // Where window, web view and key events go (the application delegate).
  void setEvents(std::weak_ptr<ShellEvents> events) { events_ = std::move(events); }

  std::shared_ptr<WebView> openControlWindow(const ControlWindowSpec& spec) override;
  void presentControlWindow() override;
  void showMessageWindow(const MessageWindowSpec& spec) override;
  void retireMessageWindow() override;
  void installMainMenu(const std::vector<Menu>& menus) override;
  void terminate() override;
  void activate() override;
  KeyMonitorToken addLocalKeyMonitor(std::function<bool(const KeyEvent&)> monitor) override;
  void removeLocalKeyMonitor(KeyMonitorToken token) override;

  // The window panels and alerts belong to: the control window, else the message window.
  GtkWindow* dialogParent() const;

 private:
  friend struct ShellCallbacks;

  std::shared_ptr<ShellEvents> events() const { return events_.lock(); }
  void attachKeyFilters(GtkWidget* window, bool isControlWindow);
  bool windowKeyPressed(bool isControlWindow, const KeyEvent& event);
  void runMenuItem(std::size_t menu, std::size_t item);
  void runEditingCommand(const std::string& command);
  void lastWindowMayHaveClosed();
  GtkWidget* buildMenuBar();

  GtkApplication* application_;
  std::string displayName_;
  std::ostream* readyLine_;
  std::weak_ptr<ShellEvents> events_;
  GtkWidget* controlWindow_ = nullptr;
  GtkWidget* menuBarBox_ = nullptr;
  std::shared_ptr<DesktopWebView> webView_;
  GtkWidget* messageWindow_ = nullptr;
  std::vector<GtkWidget*> retiredWindows_;
  std::vector<Menu> menus_;
  GMenu* menuModel_ = nullptr;
  std::map<KeyMonitorToken, std::function<bool(const KeyEvent&)>> keyMonitors_;
  KeyMonitorToken nextKeyMonitor_ = 1;
  bool terminating_ = false;
  bool loadFailed_ = false;
  // The press the window filter classified last (compared by identity only, never read).
  const GdkEvent* lastKeyEvent_ = nullptr;
  KeyEvent lastKey_;  // the current load failed: its end is no finished load
};

// The control web view: script evaluation with results handed back on the main thread.
class DesktopWebView : public WebView {
 public:
  explicit DesktopWebView(WebKitWebView* view);
  ~DesktopWebView() override;
  void evaluateScript(const std::string& script,
                      std::function<void(const ScriptResult&)> done) override;
  WebKitWebView* view() const { return view_; }

 private:
  WebKitWebView* view_;
};

}  // namespace solvera::platform
