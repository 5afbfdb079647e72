// Fakes of the desktop services for tests: they record what the logic asked for and let the
// test answer panels, alerts, the clipboard and script evaluations.
#pragma once

#include <deque>
#include <map>

#include "platform/platform.hpp"
#include "platform/script_result.hpp"

namespace solvera::platform {

class FakeWebView : public WebView {
 public:
  struct Evaluation {
    std::string script;
    std::function<void(const ScriptResult&)> done;
  };
  void evaluateScript(const std::string& script,
                      std::function<void(const ScriptResult&)> done) override {
    evaluations.push_back({script, std::move(done)});
  }
  // Completes the oldest evaluation still waiting; false when none waits.
  bool complete(const ScriptResult& result);
  std::vector<std::string> scripts() const;

  std::deque<Evaluation> evaluations;  // every evaluation, oldest first
  std::size_t completed = 0;
};

// Calls that the fakes note in one shared journal (FakePlatform wires it), so that tests can
// check the order of work across services.
using Journal = std::vector<std::string>;

class FakeShell : public Shell {
 public:
  std::shared_ptr<WebView> openControlWindow(const ControlWindowSpec& spec) override;
  void presentControlWindow() override { ++presentCount; }
  void showMessageWindow(const MessageWindowSpec& spec) override { messageWindows.push_back(spec); }
  void retireMessageWindow() override { ++retireCount; }
  void installMainMenu(const std::vector<Menu>& m) override;
  void terminate() override;
  void activate() override { ++activateCount; }
  KeyMonitorToken addLocalKeyMonitor(std::function<bool(const KeyEvent&)> monitor) override;
  void removeLocalKeyMonitor(KeyMonitorToken token) override;

  // Offers an event to the monitors as the platform would; true when one swallowed it.
  bool sendToKeyMonitors(const KeyEvent& event);
  // The action of a menu entry by its title, or nothing.
  std::function<void()> menuAction(const std::string& title) const;

  std::map<KeyMonitorToken, std::function<bool(const KeyEvent&)>> keyMonitors;
  KeyMonitorToken nextKeyMonitor = 1;
  Journal* journal = nullptr;

  std::vector<ControlWindowSpec> controlWindows;
  std::shared_ptr<FakeWebView> webView;  // the last one made
  std::vector<MessageWindowSpec> messageWindows;
  std::vector<Menu> menus;
  int presentCount = 0, retireCount = 0, terminateCount = 0, activateCount = 0;
};

class FakeDialogs : public Dialogs {
 public:
  void runOpenPanel(const OpenPanelOptions& options,
                    std::function<void(std::vector<std::filesystem::path>)> done) override {
    openPanels.push_back(options);
    pendingOpen.push_back(std::move(done));
  }
  void runSavePanel(const SavePanelOptions& options,
                    std::function<void(std::optional<std::filesystem::path>)> done) override {
    savePanels.push_back(options);
    pendingSave.push_back(std::move(done));
  }
  void runAlert(const AlertSpec& alert, std::function<void(int)> done) override {
    alerts.push_back(alert);
    pendingAlerts.push_back(std::move(done));
  }

  std::vector<OpenPanelOptions> openPanels;
  std::vector<SavePanelOptions> savePanels;
  std::vector<AlertSpec> alerts;
  std::deque<std::function<void(std::vector<std::filesystem::path>)>> pendingOpen;
  std::deque<std::function<void(std::optional<std::filesystem::path>)>> pendingSave;
  std::deque<std::function<void(int)>> pendingAlerts;
};

class FakeClipboard : public Clipboard {
 public:
  void readText(std::function<void(std::string)> done) override { done(text); }
  std::string text;
};

class FakeWorkspace : public Workspace {
 public:
  bool openURL(const std::string& url) override {
    urls.push_back(url);
    return true;
  }
  bool openFile(const std::filesystem::path& file) override {
    files.push_back(file);
    return true;
  }
  std::vector<std::string> urls;
  std::vector<std::filesystem::path> files;
};

class FakeMediaRemote : public MediaRemote {
 public:
  Token addHandler(Command command, std::function<void()> handler) override;
  void removeHandler(Token token) override;
  void setNowPlaying(const std::string& t, const std::string& a) override;
  void clearNowPlaying() override;
  // Delivers a command as the system would.
  void send(Command command);

  std::map<Token, std::pair<Command, std::function<void()>>> handlers;
  std::optional<std::pair<std::string, std::string>> nowPlaying;
  Token next = 1;
  Journal* journal = nullptr;
};

class FakePreferences : public Preferences {
 public:
  std::optional<std::string> string(const std::string& key) override {
    auto it = values.find(key);
    return it == values.end() ? std::nullopt : std::optional(it->second);
  }
  void setString(const std::string& key, const std::string& value) override { values[key] = value; }
  std::map<std::string, std::string> values;
};

// All fakes together, with a Platform view of them.
struct FakePlatform {
  FakePlatform() {
    shell.journal = &journal;
    mediaRemote.journal = &journal;
  }
  FakePlatform(const FakePlatform&) = delete;
  FakePlatform& operator=(const FakePlatform&) = delete;

  Journal journal;
  FakeShell shell;
  FakeDialogs dialogs;
  FakeClipboard clipboard;
  FakeWorkspace workspace;
  FakeMediaRemote mediaRemote;
  FakePreferences preferences;

  Platform platform(Bundle bundle = {}) {
    return Platform{shell, dialogs, clipboard, workspace, mediaRemote, preferences,
                    std::move(bundle)};
  }
};

}  // namespace solvera::platform
