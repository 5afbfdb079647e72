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
  webView = std::make_shared<FakeWebView>();
  return webView;
}

MediaRemote::Token FakeMediaRemote::addHandler(Command command, std::function<void()> handler) {
  Token token = next++;
  handlers[token] = {command, std::move(handler)};
  return token;
}

void FakeMediaRemote::send(Command command) {
  for (auto& [token, entry] : handlers) {
    if (entry.first == command) entry.second();
  }
}

}  // namespace solvera::platform
