// The two live toggles, the key filters, the main menu and the input log.
#include "app/shortcuts.hpp"

#include <cmath>
#include <ctime>

#include "common/files.hpp"
#include "common/main_thread.hpp"
#include "platform/script_result.hpp"

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

std::shared_ptr<ShortcutController> ShortcutController::create(const Clock& clock,
                                                               std::filesystem::path inputLogFile,
                                                               ControlWindow window) {
  return std::shared_ptr<ShortcutController>(
      new ShortcutController(clock, std::move(inputLogFile), std::move(window)));
}

ShortcutController::ShortcutController(const Clock& clock, std::filesystem::path inputLogFile,
                                       ControlWindow window)
    : clock_(clock), inputLogFile_(std::move(inputLogFile)), window_(std::move(window)) {}

// Key filters. Duplicates of one press end in the same debounce.

// While the user types in a page field, Right arrow and F5 are theirs; the media key is not a
// typing key and still toggles.
bool ShortcutController::keyBelongsToPage(const KeyEvent& event) const {
  return pageEditing_ && isBreathingKey(event);
}

bool ShortcutController::applicationKeyEvent(const KeyEvent& event) {
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

bool ShortcutController::controlWindowKeyEvent(const KeyEvent& event) {
  if (keyBelongsToPage(event)) return false;
  auto source = controlWindowShortcutSource(event);
  if (!source) return false;
  // The window consumes its keys even when it has no delegate any more.
  if (window_.exists()) controlWindowDidRequestBreathingToggle(*source);
  return true;
}

bool ShortcutController::controlWebViewKeyEvent(const KeyEvent& event) {
  if (keyBelongsToPage(event) || !controlWebViewClaimsShortcut(event)) return false;
  if (window_.exists()) controlWebViewDidRequestBreathingToggle();
  return true;
}

void ShortcutController::setPageEditing(bool editing) {
  if (pageEditing_ != editing) logInput(editing ? "pageEditing=true" : "pageEditing=false");
  pageEditing_ = editing;
}

void ShortcutController::controlWindowDidRequestBreathingToggle(const std::string& source) {
  logInput(source + "=breathing");
  toggleBreathingCoaching();
}

void ShortcutController::controlWindowDidRequestBlackoutToggle(const std::string& source) {
  logInput(source + "=blackout");
  toggleBlackout();
}

void ShortcutController::controlWebViewDidRequestBreathingToggle() {
  logInput("webViewShortcut=breathing");
  toggleBreathingCoaching();
}

void ShortcutController::controlWebViewDidRequestBlackoutToggle() {
  logInput("webViewShortcut=blackout");
  toggleBlackout();
}

void ShortcutController::toggleBreathingShortcut() {
  logInput("menuShortcut=breathing");
  toggleBreathingCoaching();
}

void ShortcutController::toggleBlackoutShortcut() {
  logInput("menuShortcut=blackout");
  toggleBlackout();
}

// The toggles. Every entry path shares one gate per toggle, so one key press that arrives
// through several layers (or as a key and a media command) acts once.

void ShortcutController::toggleBreathingCoaching() {
  double now = clock_.uptimeSeconds();
  if (now - lastMediaToggleTime_ <= kToggleDebounceSeconds) return;
  lastMediaToggleTime_ = now;
  if (!window_.webView() && player_.togglePause) {
    std::string done = player_.togglePause();
    logInput("playerShortcut=" + (done.empty() ? std::string("none") : done));
    return;
  }
  runWebShortcut(kBreathingFunction, kBreathingFallback);
}

// Blackout is a safety control: it must not wait for a page that may be loading, frozen or
// gone, so it goes to the player, which darkens every output at once; the page shows the
// player's state.
void ShortcutController::toggleBlackout() {
  double now = clock_.uptimeSeconds();
  if (now - lastBlackoutToggleTime_ <= kToggleDebounceSeconds) return;
  lastBlackoutToggleTime_ = now;
  if (player_.toggleBlackout) {
    const bool on = player_.toggleBlackout();
    logInput(std::string("playerShortcut=blackout on=") + (on ? "true" : "false"));
    return;
  }
  runWebShortcut(kBlackoutFunction, kBlackoutFallback);
}

void ShortcutController::runWebShortcut(const std::string& functionName,
                                        const std::string& fallbackScript,
                                        int attemptsRemaining) {
  auto webView = window_.webView();
  if (!webView) {
    logInput("webShortcut=" + functionName + " result=no-webview");
    return;
  }
  std::weak_ptr<ShortcutController> weak = weak_from_this();
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

void ShortcutController::installMenu(platform::Shell& shell,
                                     const std::string& productDisplayName) {
  std::weak_ptr<ShortcutController> weak = weak_from_this();
  auto act = [weak](void (ShortcutController::*method)()) {
    return [weak, method] {
      if (auto self = weak.lock()) (self.get()->*method)();
    };
  };
  auto edit = [](std::string title, std::string command, std::string key) {
    return platform::MenuItem{std::move(title), std::move(command), std::move(key), {}, false};
  };
  std::vector<platform::Menu> menus;
  menus.push_back({"", {edit("Stop " + productDisplayName, "quit", "q")}});
  menus.push_back({"Bewerken",
                   {edit("Ongedaan maken", "undo", "z"), edit("Opnieuw", "redo", "Z"),
                    platform::MenuItem{"", "", "", {}, true}, edit("Knip", "cut", "x"),
                    edit("Kopieer", "copy", "c"), edit("Plak", "paste", "v"),
                    edit("Selecteer alles", "selectAll", "a")}});
  menus.push_back({"Bediening",
                   {platform::MenuItem{"Ademhalingscoaching aan/uit", "", "",
                                       act(&ShortcutController::toggleBreathingShortcut), false},
                    platform::MenuItem{"Blackout aan/uit", "", "",
                                       act(&ShortcutController::toggleBlackoutShortcut), false}}});
  shell.installMainMenu(menus);
  logInput("shortcutMenu=installed");
}

void ShortcutController::logInput(const std::string& fields) {
  appendInputLog(inputLogTimestamp(clock_.wallMs()) + " " + fields + "\n");
}

void ShortcutController::appendInputLog(const std::string& line) {
  // Logging never affects the shortcut: every failure is ignored.
  std::error_code ec;
  std::filesystem::create_directories(inputLogFile_.parent_path(), ec);
  appendToFile(inputLogFile_, line);
}

}  // namespace solvera
