// Keyboard shortcuts: the key tests of the three filters and the script of a web shortcut,
// as pure functions; the delegate's toggles, menu and input log live in shortcuts.cpp.
#pragma once

#include <optional>
#include <string>

#include "platform/platform.hpp"

namespace solvera {

// Debounce of each toggle, in seconds of monotonic time.
inline constexpr double kToggleDebounceSeconds = 0.35;
// A toggle evaluates its script at most this often, this far apart, until the page answers.
inline constexpr int kWebShortcutAttempts = 12;
inline constexpr int kWebShortcutRetryMs = 150;

inline constexpr const char* kBreathingFunction = "toggleBreathingCoaching";
inline constexpr const char* kBreathingFallback =
    "document.querySelector('#breathingGuideEnabled')?.click()";
inline constexpr const char* kBlackoutFunction = "toggleBlackout";
inline constexpr const char* kBlackoutFallback =
    "document.querySelector('#blackoutButton')?.click()";

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

}  // namespace solvera
