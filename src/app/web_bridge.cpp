// The web view side of the delegate: script messages, the clipboard reply, new-window
// requests, the file input panel and the first finished load.
#include "app/web_bridge.hpp"

#include <algorithm>
#include <cctype>

#include "app/app_delegate.hpp"

namespace solvera {
namespace {

const std::string* textMember(const Json& body, const char* key) {
  if (!body.is_object()) return nullptr;
  auto it = body.find(key);
  if (it == body.end() || !it->is_string()) return nullptr;
  return it->get_ptr<const std::string*>();
}

bool isText(const Json& body, const char* text) { return body.is_string() && body == text; }

}  // namespace

std::optional<ScriptMessageAction> scriptMessageAction(const std::string& name, const Json& body) {
  using Kind = ScriptMessageAction::Kind;
  if (name == "museBridge") return ScriptMessageAction{Kind::restartMuseBridge, {}, {}, {}, {}};
  if (name == "musicLibrary") {
    if (isText(body, "install")) return ScriptMessageAction{Kind::installMusicLibrary, {}, {}, {}, {}};
    return std::nullopt;
  }
  if (name == "sessionFiles") {
    const std::string* action = textMember(body, "action");
    if (!action) return std::nullopt;
    if (*action == "import") return ScriptMessageAction{Kind::importSessionFile, {}, {}, {}, {}};
    if (*action == "export") {
      const std::string* filename = textMember(body, "filename");
      const std::string* content = textMember(body, "content");
      if (!filename || !content) return std::nullopt;
      return ScriptMessageAction{Kind::exportSessionFile, *filename, *content, {}, {}};
    }
    return std::nullopt;
  }
  if (name == "clipboard") {
    if (isText(body, "readText")) return ScriptMessageAction{Kind::readClipboard, {}, {}, {}, {}};
    return std::nullopt;
  }
  // The page says whether an element that takes typed keys (a text field, a slider) has focus;
  // meanwhile the presenter keys belong to that element. Body: true or false.
  if (name == "editingFocus") {
    if (!body.is_boolean()) return std::nullopt;
    ScriptMessageAction action{Kind::setEditingFocus, {}, {}, {}, {}};
    action.editing = body.get<bool>();
    return action;
  }
  if (name == "analysisPrint") {
    const std::string* html = textMember(body, "html");
    if (!html) return std::nullopt;
    const std::string* title = textMember(body, "title");
    return ScriptMessageAction{Kind::printAnalysisReport, {}, {}, *html,
                               title ? *title : kDefaultAnalysisTitle};
  }
  return std::nullopt;
}

std::string clipboardReplyScript(const std::string& text) {
  // The one-element array as the JSON writer gives it; javascriptString falls back to the
  // empty text when the bytes cannot be written, which leaves the array ["""].
  return "window.solveraClipboardText([" + javascriptString(text) + "].shift());";
}

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
    case Kind::restartMuseBridge: restartMuseBridge(); break;
    case Kind::installMusicLibrary: installMusicLibrary(); break;
    case Kind::importSessionFile: importSessionFile(); break;
    case Kind::exportSessionFile: exportSessionFile(action->filename, action->content); break;
    case Kind::readClipboard: replyWithClipboardText(); break;
    case Kind::printAnalysisReport: printAnalysisReport(action->html, action->title); break;
    case Kind::setEditingFocus:
      if (pageEditing_ != action->editing) logInput(action->editing ? "pageEditing=true" : "pageEditing=false");
      pageEditing_ = action->editing;
      break;
  }
}

void AppDelegate::replyWithClipboardText() {
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  platform_.clipboard.readText([weak](std::string text) {
    auto self = weak.lock();
    if (!self) return;
    // Fire and forget: a page without the function simply fails in the page.
    if (auto webView = self->controlWebView_.lock()) webView->evaluateScript(clipboardReplyScript(text));
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
  pageEditing_ = false;  // a fresh page has no field in focus
  if (automaticMusicLibraryCheckStarted_) return;
  startMuseBridgeIfNeeded();
  automaticMusicLibraryCheckStarted_ = true;
  installCoreMusicLibraryIfNeeded();
}

}  // namespace solvera
