// The script-message bridge from the page: which native operation a message asks for.
#pragma once

#include <optional>
#include <string>

#include "common/json.hpp"

namespace solvera {

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

// The action a message asks for, or nothing for every combination the bridge ignores.
std::optional<ScriptMessageAction> scriptMessageAction(const std::string& name, const Json& body);

// The script that hands the clipboard text to window.solveraClipboardText.
std::string clipboardReplyScript(const std::string& text);

// Whether a new-window request goes to the default browser: http and https addresses only.
bool opensInDefaultBrowser(const std::string& url);

}  // namespace solvera
