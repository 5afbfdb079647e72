// Session files: importing a session the user picks and exporting the page's session text.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/page_bridge.hpp"
#include "platform/platform.hpp"

namespace solvera {

inline constexpr std::size_t kSessionFileMaxBytes = 1'000'000;
inline constexpr const char* kSessionFileExtension = "svpsession";

// The save panel's proposed name: "/" and ":" replaced by "-", ".svpsession" appended unless
// the name already ends with it (case-sensitive).
std::string proposedSessionFileName(const std::string& filename);

// The whole text of a regular file of at most 1,000,000 bytes that is valid UTF-8.
std::optional<std::string> readSessionFile(const std::filesystem::path& file);

class SessionFiles : public std::enable_shared_from_this<SessionFiles> {
 public:
  static std::shared_ptr<SessionFiles> create(platform::Dialogs& dialogs, WebViewProvider webView);

  // Main thread: open panel, then the import result to the page.
  void importSessionFile();
  // Main thread: size check, save panel, atomic write, then the export result to the page.
  void exportSessionFile(const std::string& filename, const std::string& content);

 private:
  SessionFiles(platform::Dialogs& dialogs, WebViewProvider webView)
      : dialogs_(dialogs), webView_(std::move(webView)) {}
  static void evaluateLater(std::weak_ptr<SessionFiles> weak, std::string script);

  platform::Dialogs& dialogs_;
  WebViewProvider webView_;
};

}  // namespace solvera
