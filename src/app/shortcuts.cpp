// The two live toggles, the key filters, the main menu and the input log.
#include "app/shortcuts.hpp"

#include <cmath>
#include <ctime>
#include <fstream>

#include "app/app_delegate.hpp"
#include "common/main_thread.hpp"
#include "platform/page_bridge.hpp"

namespace solvera {

using platform::KeyEvent;

bool isBreathingKey(const KeyEvent& event) {
  return event.type == KeyEvent::Type::keyDown && !event.isRepeat && !event.command &&
         !event.control && !event.option &&
         (event.keyCode == KeyEvent::kRightArrow || event.keyCode == KeyEvent::kF5);
}

bool isMediaPlayKey(const KeyEvent& event) { return event.type == KeyEvent::Type::mediaPlayDown; }

std::optional<std::string> controlWindowShortcutSource(const KeyEvent& event) {
  if (isMediaPlayKey(event)) return "window-media";
  if (isBreathingKey(event)) return "window-key-" + std::to_string(event.keyCode);
  return std::nullopt;
}

bool controlWebViewClaimsShortcut(const KeyEvent& event) { return isBreathingKey(event); }

std::string inputLogTimestamp(double wallMs) {
  std::time_t seconds = static_cast<std::time_t>(std::floor(wallMs / 1000.0));
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// Key filters. The application filter sees every window's keys first; the window and web view
// filters catch what reaches them another way. Duplicates end in the same debounce.

// While the user types in a page field, Right arrow and F5 are theirs; the media key is not a
// typing key and still toggles.
bool AppDelegate::keyBelongsToPage(const KeyEvent& event) const {
  return pageEditing_ && isBreathingKey(event);
}

bool AppDelegate::handleApplicationShortcut(const KeyEvent& event) {
  if (keyBelongsToPage(event)) return false;
  if (isMediaPlayKey(event)) {
    logInput("applicationShortcut=media-play");
  } else if (isBreathingKey(event)) {
    logInput("applicationShortcut=breathing keyCode=" + std::to_string(event.keyCode));
  } else {
    return false;
  }
  toggleBreathingCoaching();
  return true;
}

bool AppDelegate::applicationKeyEvent(const KeyEvent& event) {
  return handleApplicationShortcut(event);
}

bool AppDelegate::controlWindowKeyEvent(const KeyEvent& event) {
  if (keyBelongsToPage(event)) return false;
  auto source = controlWindowShortcutSource(event);
  if (!source) return false;
  // The window consumes its keys even when it has no delegate any more.
  if (interfaceWindow_) controlWindowDidRequestBreathingToggle(*source);
  return true;
}

bool AppDelegate::controlWebViewKeyEvent(const KeyEvent& event) {
  if (keyBelongsToPage(event) || !controlWebViewClaimsShortcut(event)) return false;
  if (interfaceWindow_) controlWebViewDidRequestBreathingToggle();
  return true;
}

void AppDelegate::controlWindowDidRequestBreathingToggle(const std::string& source) {
  logInput(source + "=breathing");
  toggleBreathingCoaching();
}

void AppDelegate::controlWindowDidRequestBlackoutToggle(const std::string& source) {
  logInput(source + "=blackout");
  toggleBlackout();
}

void AppDelegate::controlWebViewDidRequestBreathingToggle() {
  logInput("webViewShortcut=breathing");
  toggleBreathingCoaching();
}

void AppDelegate::controlWebViewDidRequestBlackoutToggle() {
  logInput("webViewShortcut=blackout");
  toggleBlackout();
}

void AppDelegate::toggleBreathingShortcut() {
  logInput("menuShortcut=breathing");
  toggleBreathingCoaching();
}

void AppDelegate::toggleBlackoutShortcut() {
  logInput("menuShortcut=blackout");
  toggleBlackout();
}

// The toggles. Every entry path shares one gate per toggle, so one key press that arrives
// through several layers (or as a key and a media command) acts once.

void AppDelegate::toggleBreathingCoaching() {
  double now = clock_.uptimeSeconds();
  if (now - lastMediaToggleTime_ <= kToggleDebounceSeconds) return;
  lastMediaToggleTime_ = now;
  runWebShortcut(kBreathingFunction, kBreathingFallback);
}

void AppDelegate::toggleBlackout() {
  double now = clock_.uptimeSeconds();
  if (now - lastBlackoutToggleTime_ <= kToggleDebounceSeconds) return;
  lastBlackoutToggleTime_ = now;
  runWebShortcut(kBlackoutFunction, kBlackoutFallback);
}

void AppDelegate::runWebShortcut(const std::string& functionName, const std::string& fallbackScript,
                                 int attemptsRemaining) {
  auto webView = controlWebView_.lock();
  if (!webView) {
    logInput("webShortcut=" + functionName + " result=no-webview");
    return;
  }
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  webView->evaluateScript(
      pagecall::webShortcut(functionName, fallbackScript),
      [weak, functionName, fallbackScript,
       attemptsRemaining](const platform::ScriptResult& result) {
        auto self = weak.lock();
        if (!self) return;
        bool ok = result.isTrue();
        self->logInput("webShortcut=" + functionName + " result=" + (ok ? "true" : "false") +
                       " error=" + result.error.value_or("-") +
                       " attempts=" + std::to_string(attemptsRemaining));
        if (ok || attemptsRemaining <= 1) return;
        // The page may still be loading: try again shortly.
        mainthread::postAfter(std::chrono::milliseconds(kWebShortcutRetryMs),
                              [weak, functionName, fallbackScript, attemptsRemaining] {
                                if (auto again = weak.lock()) {
                                  again->runWebShortcut(functionName, fallbackScript,
                                                        attemptsRemaining - 1);
                                }
                              });
      });
}

void AppDelegate::installShortcutMenu() {
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  auto act = [weak](void (AppDelegate::*method)()) {
    return [weak, method] {
      if (auto self = weak.lock()) (self.get()->*method)();
    };
  };
  auto edit = [](std::string title, std::string command, std::string key) {
    return platform::MenuItem{std::move(title), std::move(command), std::move(key), {}, false};
  };
  std::vector<platform::Menu> menus;
  menus.push_back({"", {edit("Stop " + productDisplayName(), "quit", "q")}});
  menus.push_back({"Bewerken",
                   {edit("Ongedaan maken", "undo", "z"), edit("Opnieuw", "redo", "Z"),
                    platform::MenuItem{"", "", "", {}, true}, edit("Knip", "cut", "x"),
                    edit("Kopieer", "copy", "c"), edit("Plak", "paste", "v"),
                    edit("Selecteer alles", "selectAll", "a")}});
  menus.push_back({"Bediening",
                   {platform::MenuItem{"Ademhalingscoaching aan/uit", "", "",
                                       act(&AppDelegate::toggleBreathingShortcut), false},
                    platform::MenuItem{"Blackout aan/uit", "", "",
                                       act(&AppDelegate::toggleBlackoutShortcut), false}}});
  platform_.shell.installMainMenu(menus);
  logInput("shortcutMenu=installed");
}

void AppDelegate::logInput(const std::string& fields) {
  appendInputLog(inputLogTimestamp(clock_.wallMs()) + " " + fields + "\n");
}

void AppDelegate::appendInputLog(const std::string& line) {
  // Logging never affects the shortcut: every failure is ignored.
  std::error_code ec;
  if (std::filesystem::exists(inputLogFile_, ec)) {
    std::ofstream out(inputLogFile_, std::ios::binary | std::ios::app);
    out << line;
    return;
  }
  std::filesystem::create_directories(inputLogFile_.parent_path(), ec);
  auto temporary = inputLogFile_;
  temporary += ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << line;
    if (!out.flush()) {
      std::filesystem::remove(temporary, ec);
      return;
    }
  }
  std::filesystem::rename(temporary, inputLogFile_, ec);
  if (ec) std::filesystem::remove(temporary, ec);
}

}  // namespace solvera
