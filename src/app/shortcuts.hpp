// Keyboard shortcuts: the key tests of the three filters as pure functions, and the controller
// that owns the two live toggles with their debounce, the key filters' decisions, the menu and
// the input log. Everything here runs on the main thread.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/clock.hpp"
#include "platform/page_bridge.hpp"
#include "platform/platform.hpp"

namespace solvera {

// Debounce of each toggle, in seconds of monotonic time.
inline constexpr double kToggleDebounceSeconds = 0.35;
// A toggle evaluates its script at most this often, this far apart, until the page answers.
inline constexpr int kWebShortcutAttempts = 12;
inline constexpr int kWebShortcutRetryMs = 150;

// Right Arrow or F5 pressed (not an auto-repeat) with neither Command, Control nor Option;
// Shift is allowed.
bool isBreathingKey(const platform::KeyEvent& event);
// The media Play key pressed.
bool isMediaPlayKey(const platform::KeyEvent& event);

// The control window's filter: the source word of its breathing request ("window-media",
// "window-key-124"), or nothing when the event is passed on.
std::optional<std::string> controlWindowShortcutSource(const platform::KeyEvent& event);
// The control web view's filter: true when it claims the event (breathing keys only).
bool controlWebViewClaimsShortcut(const platform::KeyEvent& event);

// "2024-05-01T12:34:56Z" for milliseconds since 1970 (whole seconds, UTC).
std::string inputLogTimestamp(double wallMs);

class ShortcutController : public std::enable_shared_from_this<ShortcutController> {
 public:
  // What the controller asks of the control window.
  struct ControlWindow {
    std::function<bool()> exists;
    WebViewProvider webView;
  };

  // The session player's live controls, which the toggles reach without the page.
  struct Player {
    std::function<bool()> toggleBlackout;  // returns whether blackout is on now
    // Pauses a running session or resumes a paused one: "pause", "resume", or "" when
    // nothing plays.
    std::function<std::string()> togglePause;
  };

  static std::shared_ptr<ShortcutController> create(const Clock& clock,
                                                    std::filesystem::path inputLogFile,
                                                    ControlWindow window);
  // Once the program's player exists.
  void connectPlayer(Player player) { player_ = std::move(player); }

  // The three key filters; true when the event is consumed. The application filter sees every
  // window's keys first; the window and web view filters catch what reaches them another way.
  bool applicationKeyEvent(const platform::KeyEvent& event);
  bool controlWindowKeyEvent(const platform::KeyEvent& event);
  bool controlWebViewKeyEvent(const platform::KeyEvent& event);

  // Whether a page element that takes typed keys has focus, as the page reports it.
  void setPageEditing(bool editing);
  // A fresh page has no field in focus.
  void pageDidLoad() { pageEditing_ = false; }

  // The entry paths, each with its own log line.
  void controlWindowDidRequestBreathingToggle(const std::string& source);
  void controlWindowDidRequestBlackoutToggle(const std::string& source);
  void controlWebViewDidRequestBreathingToggle();
  void controlWebViewDidRequestBlackoutToggle();
  void toggleBreathingShortcut();
  void toggleBlackoutShortcut();
  // The toggles; each has one debounce gate shared by every entry path. Blackout goes to the
  // player (the page follows its state); breathing coaching is the page's, and without a
  // control page the same keys pause and resume the session.
  void toggleBreathingCoaching();
  void toggleBlackout();
  void runWebShortcut(const std::string& functionName, const std::string& fallbackScript,
                      int attemptsRemaining = kWebShortcutAttempts);

  // The main menu: quit, editing, and the two toggles.
  void installMenu(platform::Shell& shell, const std::string& productDisplayName);

  // Appends one complete line to the input log; logInput stamps the time in front of fields.
  void appendInputLog(const std::string& line);
  void logInput(const std::string& fields);
  const std::filesystem::path& inputLogFile() const { return inputLogFile_; }

 private:
  ShortcutController(const Clock& clock, std::filesystem::path inputLogFile, ControlWindow window);
  bool keyBelongsToPage(const platform::KeyEvent& event) const;

  const Clock& clock_;
  std::filesystem::path inputLogFile_;
  ControlWindow window_;
  Player player_;
  bool pageEditing_ = false;
  double lastMediaToggleTime_ = 0;     // uptime seconds of the last accepted breathing toggle
  double lastBlackoutToggleTime_ = 0;  // and of the last accepted blackout toggle
};

}  // namespace solvera
