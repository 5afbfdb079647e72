// GTK key events as the shortcut filters see them.
#pragma once

#include <gtk/gtk.h>

#include <set>

#include "platform/platform.hpp"

namespace solvera::platform {

// Tracks the keys held on one controller: GTK reports an auto-repeat as another press of a
// key that has not been released.
class HeldKeys {
 public:
  // The event for a press; remembers the key as held.
  KeyEvent press(guint keyval, guint keycode, GdkModifierType state);
  void release(guint keycode) { held_.erase(keycode); }
  // Focus moved away: releases that happen elsewhere are never seen.
  void clear() { held_.clear(); }

 private:
  std::set<guint> held_;
};

// The key event for a GDK key value and modifier state (isRepeat left false).
KeyEvent keyEventFor(guint keyval, GdkModifierType state);

}  // namespace solvera::platform
