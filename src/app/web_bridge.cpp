// The web view side of the delegate: what each script message does, the clipboard reply,
// new-window requests, the file input panel and the first finished load. The messages' names
// and bodies are in platform/page_bridge.hpp.
#include "app/web_bridge.hpp"

#include <algorithm>
#include <cctype>

#include "app/app_delegate.hpp"
#include "app/content_services.hpp"
#include "common/json.hpp"

namespace solvera {

bool opensInDefaultBrowser(const std::string& url) {
  auto colon = url.find(':');
  if (colon == std::string::npos) return false;
  std::string scheme = url.substr(0, colon);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return scheme == "http" || scheme == "https";
}

void AppDelegate::didReceiveScriptMessage(const std::string& name, const Json& body) {
  auto action = scriptMessageAction(name, body);
  if (!action) return;  // unexpected bodies are dropped without a reply
  using Kind = ScriptMessageAction::Kind;
  switch (action->kind) {
    case Kind::readClipboard: replyWithClipboardText(); break;
    case Kind::setEditingFocus: shortcuts_->setPageEditing(action->editing); break;
    default:
      if (options_.content) options_.content->perform(*action);
  }
}

void AppDelegate::replyWithClipboardText() {
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  platform_.clipboard.readText([weak](const std::string& text) {
    auto self = weak.lock();
    if (!self) return;
    // Fire and forget: a page without the function simply fails in the page.
    if (auto webView = self->controlWebView_.lock())
      webView->evaluateScript(pagecall::clipboardText(text));
  });
}

void AppDelegate::webViewRequestsNewWindow(const std::string& url) {
  // The control interface never opens a second web view; web links go to the browser.
  if (opensInDefaultBrowser(url)) platform_.workspace.openURL(url);
}

void AppDelegate::webViewRunOpenPanel(const platform::FileInputRequest& request,
                                      std::function<void(std::vector<std::filesystem::path>)> done) {
  platform::OpenPanelOptions options;
  options.title = "Tracks toevoegen";
  options.prompt = "Toevoegen";
  options.canChooseFiles = true;
  options.canChooseDirectories = request.allowsDirectories;
  options.allowsMultipleSelection = request.allowsMultipleSelection;
  options.mimeTypes = {"audio/*"};
  platform_.dialogs.runOpenPanel(options, std::move(done));
}

void AppDelegate::webViewDidFinishLoad(platform::WebView& webView) {
  auto control = controlWebView_.lock();
  if (control.get() != &webView) return;
  shortcuts_->pageDidLoad();
  if (automaticMusicLibraryCheckStarted_) return;
  automaticMusicLibraryCheckStarted_ = true;
  if (options_.content) options_.content->firstPageDidLoad();
}

}  // namespace solvera
