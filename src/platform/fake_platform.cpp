// Fakes of the desktop services.
#include "platform/fake_platform.hpp"

namespace solvera::platform {

bool FakeWebView::complete(const ScriptResult& result) {
  if (completed >= evaluations.size()) return false;
  auto& evaluation = evaluations[completed++];
  if (evaluation.done) evaluation.done(result);
  return true;
}

std::vector<std::string> FakeWebView::scripts() const {
  std::vector<std::string> out;
  for (const auto& e : evaluations) out.push_back(e.script);
  return out;
}

std::shared_ptr<WebView> FakeShell::openControlWindow(const ControlWindowSpec& spec) {
  controlWindows.push_back(spec);
  if (journal) journal->push_back("shell.openControlWindow");
  webView = std::make_shared<FakeWebView>();
  return webView;
}

namespace {
void note(Journal* journal, std::string entry) {
  if (journal) journal->push_back(std::move(entry));
}
}  // namespace

void FakeShell::installMainMenu(const std::vector<Menu>& m) {
  menus = m;
  note(journal, "shell.installMainMenu");
}

void FakeShell::terminate() {
  ++terminateCount;
  note(journal, "shell.terminate");
}

Shell::KeyMonitorToken FakeShell::addLocalKeyMonitor(std::function<bool(const KeyEvent&)> monitor) {
  KeyMonitorToken token = nextKeyMonitor++;
  keyMonitors[token] = std::move(monitor);
  note(journal, "shell.addLocalKeyMonitor");
  return token;
}

void FakeShell::removeLocalKeyMonitor(KeyMonitorToken token) {
  keyMonitors.erase(token);
  note(journal, "shell.removeLocalKeyMonitor");
}

bool FakeShell::sendToKeyMonitors(const KeyEvent& event) {
  for (auto& [token, monitor] : keyMonitors) {
    if (monitor(event)) return true;
  }
  return false;
}

std::function<void()> FakeShell::menuAction(const std::string& title) const {
  for (const auto& menu : menus) {
    for (const auto& item : menu.items) {
      if (item.title == title) return item.action;
    }
  }
  return {};
}

MediaRemote::Token FakeMediaRemote::addHandler(Command command, std::function<void()> handler) {
  Token token = next++;
  handlers[token] = {command, std::move(handler)};
  note(journal, "mediaRemote.addHandler");
  return token;
}

void FakeMediaRemote::removeHandler(Token token) {
  handlers.erase(token);
  note(journal, "mediaRemote.removeHandler");
}

void FakeMediaRemote::setNowPlaying(const std::string& t, const std::string& a) {
  nowPlaying = std::make_pair(t, a);
  note(journal, "mediaRemote.setNowPlaying");
}

void FakeMediaRemote::clearNowPlaying() {
  nowPlaying.reset();
  note(journal, "mediaRemote.clearNowPlaying");
}

void FakeMediaRemote::send(Command command) {
  for (auto& [token, entry] : handlers) {
    if (entry.first == command) entry.second();
  }
}

}  // namespace solvera::platform
