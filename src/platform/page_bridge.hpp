// The control page's script contract in one place: the messages the page posts (their names,
// the bodies accepted and the action each asks for) and every call native code makes into the
// page. The page's side of the same contract is public/js/page-bridge.js.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/json_fwd.hpp"
#include "common/main_thread.hpp"
#include "platform/platform.hpp"

namespace solvera {

// ---- page → native: script messages ----------------------------------------------------------

inline constexpr const char* kDefaultAnalysisTitle = "Solvera Pro sessieanalyse";

struct ScriptMessageAction {
  enum class Kind {
    restartMuseBridge,
    installMusicLibrary,
    importSessionFile,
    exportSessionFile,
    readClipboard,
    printAnalysisReport,
    setEditingFocus,
  };
  Kind kind;
  std::string filename;  // export
  std::string content;   // export
  std::string html;      // print
  std::string title;     // print
  bool editing = false;  // editing focus
};

// The message names registered on the control web view, in registration order.
const std::vector<std::string>& scriptMessageNames();

// The action a message asks for, or nothing for every combination the bridge ignores.
std::optional<ScriptMessageAction> scriptMessageAction(const std::string& name, const Json& body);

// ---- native → page: page calls ---------------------------------------------------------------

// The control web view when it still exists; asked on the main thread only.
using WebViewProvider = std::function<std::shared_ptr<platform::WebView>()>;

// "window.<function>?.(<arguments>);" with the arguments (script expressions) joined by ", ".
// Without optional the call fails in the page when the function is missing.
std::string pageCallScript(std::string_view function, const std::vector<std::string>& arguments,
                           bool optional = true);

// The page calls, literally. Every text goes through javascriptString.
namespace pagecall {
std::string musicLibraryDownloadStatus(const std::string& status, const std::string& message);
std::string musicLibraryInstalled(bool ok, const std::string& message);
std::string sessionFileImported(bool ok, const std::string& textOrReason);
std::string sessionFileExported(bool ok, const std::string& reason);
// The one-element array as the JSON writer gives it, then its one element.
std::string clipboardText(const std::string& text);
// The events are compact JSON objects, passed through as they are.
std::string museBridgeEvents(const std::vector<std::string_view>& events);
// Calls window.<function>() when the page defines it (answering true); otherwise runs the
// fallback and answers whether the document has finished loading.
std::string webShortcut(const std::string& function, const std::string& fallbackScript);
}  // namespace pagecall

// The two live toggles the shortcuts call, with the click each falls back to while the page
// lacks its function.
inline constexpr const char* kBreathingFunction = "toggleBreathingCoaching";
inline constexpr const char* kBreathingFallback =
    "document.querySelector('#breathingGuideEnabled')?.click()";
inline constexpr const char* kBlackoutFunction = "toggleBlackout";
inline constexpr const char* kBlackoutFallback =
    "document.querySelector('#blackoutButton')?.click()";

// Evaluates a page call in the control web view if there is one; its result is not read.
void callPage(const WebViewProvider& webView, const std::string& script);
// The same from the main loop, later, through the owner's provider; dropped when the owner is
// gone by then. Any thread may ask: the owner is only locked on the main thread, so its last
// reference never goes on a worker.
template <class Owner>
void callPageLater(std::weak_ptr<Owner> owner, WebViewProvider Owner::*webView,
                   std::string script) {
  mainthread::post([owner = std::move(owner), webView, script = std::move(script)] {
    if (auto self = owner.lock()) callPage((*self).*webView, script);
  });
}

}  // namespace solvera
