// The script messages' table and the page calls' builders.
#include "platform/page_bridge.hpp"
#include "common/json.hpp"

namespace solvera {
namespace {

using Kind = ScriptMessageAction::Kind;
using Parse = std::optional<ScriptMessageAction> (*)(const Json& body);

const std::string* textMember(const Json& body, const char* key) {
  if (!body.is_object()) return nullptr;
  auto it = body.find(key);
  if (it == body.end() || !it->is_string()) return nullptr;
  return it->get_ptr<const std::string*>();
}

bool isText(const Json& body, const char* text) {
  return body.is_string() && body == text;
}

std::optional<ScriptMessageAction> only(bool accepted, Kind kind) {
  if (!accepted) return std::nullopt;
  return ScriptMessageAction{kind, {}, {}, {}, {}};
}

std::optional<ScriptMessageAction> musicLibraryMessage(const Json& body) {
  return only(isText(body, "install"), Kind::installMusicLibrary);
}

std::optional<ScriptMessageAction> sessionFilesMessage(const Json& body) {
  const std::string* action = textMember(body, "action");
  if (!action) return std::nullopt;
  if (*action == "import") return only(true, Kind::importSessionFile);
  if (*action != "export") return std::nullopt;
  const std::string* filename = textMember(body, "filename");
  const std::string* content = textMember(body, "content");
  if (!filename || !content) return std::nullopt;
  return ScriptMessageAction{Kind::exportSessionFile, *filename, *content, {}, {}};
}

std::optional<ScriptMessageAction> clipboardMessage(const Json& body) {
  return only(isText(body, "readText"), Kind::readClipboard);
}

std::optional<ScriptMessageAction> analysisPrintMessage(const Json& body) {
  const std::string* html = textMember(body, "html");
  if (!html) return std::nullopt;
  const std::string* title = textMember(body, "title");
  return ScriptMessageAction{
      Kind::printAnalysisReport, {}, {}, *html, title ? *title : kDefaultAnalysisTitle};
}

std::optional<ScriptMessageAction> museBridgeMessage(const Json&) {
  return only(true, Kind::restartMuseBridge);  // the body is not read
}

// The page says whether an element that takes typed keys (a text field, a slider) has focus;
// meanwhile the presenter keys belong to that element. Body: true or false.
std::optional<ScriptMessageAction> editingFocusMessage(const Json& body) {
  if (!body.is_boolean()) return std::nullopt;
  ScriptMessageAction action{Kind::setEditingFocus, {}, {}, {}, {}};
  action.editing = body.get<bool>();
  return action;
}

struct MessageRow {
  const char* name;
  Parse parse;
};

// Registered on the web view in this order.
constexpr MessageRow kMessages[] = {
    {"musicLibrary", musicLibraryMessage},    // "install"
    {"sessionFiles", sessionFilesMessage},    // {action: "import"} or {action: "export", ...}
    {"clipboard", clipboardMessage},          // "readText"
    {"analysisPrint", analysisPrintMessage},  // {html, title?}
    {"museBridge", museBridgeMessage},        // anything
    {"editingFocus", editingFocusMessage},    // true or false
};

std::string scriptBoolean(bool value) {
  return value ? "true" : "false";
}

}  // namespace

const std::vector<std::string>& scriptMessageNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> all;
    for (const auto& row : kMessages) all.emplace_back(row.name);
    return all;
  }();
  return names;
}

std::optional<ScriptMessageAction> scriptMessageAction(const std::string& name, const Json& body) {
  for (const auto& row : kMessages) {
    if (name == row.name) return row.parse(body);
  }
  return std::nullopt;
}

std::string pageCallScript(std::string_view function, const std::vector<std::string>& arguments,
                           bool optional) {
  std::string script = "window.";
  script += function;
  script += optional ? "?.(" : "(";
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i) script += ", ";
    script += arguments[i];
  }
  return script + ");";
}

namespace pagecall {

std::string musicLibraryDownloadStatus(const std::string& status, const std::string& message) {
  return pageCallScript("solveraMusicLibraryDownloadStatus",
                        {javascriptString(status), javascriptString(message)});
}

std::string musicLibraryInstalled(bool ok, const std::string& message) {
  return pageCallScript("solveraMusicLibraryInstalled",
                        {scriptBoolean(ok), javascriptString(message)});
}

std::string sessionFileImported(bool ok, const std::string& textOrReason) {
  return pageCallScript("solveraSessionFileImported",
                        {scriptBoolean(ok), javascriptString(textOrReason)});
}

std::string sessionFileExported(bool ok, const std::string& reason) {
  return pageCallScript("solveraSessionFileExported",
                        {scriptBoolean(ok), javascriptString(reason)});
}

std::string clipboardText(const std::string& text) {
  // javascriptString falls back to the empty text when the bytes cannot be written, which
  // leaves the array [""], as the JSON writer's own fallback does.
  return pageCallScript("solveraClipboardText", {"[" + javascriptString(text) + "].shift()"},
                        /*optional=*/false);
}

std::string museBridgeEvents(const std::vector<std::string_view>& events) {
  std::string list = "[\n";
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (i) list += ",\n";
    list += events[i];
  }
  return pageCallScript("solveraMuseBridgeEvents", {list + "\n]"});
}

std::string webShortcut(const std::string& function, const std::string& fallbackScript) {
  return "(() => {\n  if (typeof window." + function + " === \"function\") {\n    window." +
         function + "();\n    return true;\n  }\n  " + fallbackScript +
         ";\n  return Boolean(document.readyState === \"complete\");\n})()";
}

}  // namespace pagecall

void callPage(const WebViewProvider& webView, const std::string& script) {
  if (auto view = webView ? webView() : nullptr) view->evaluateScript(script);
}

}  // namespace solvera
