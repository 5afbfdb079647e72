// Mapping GDK key values onto the key codes the shortcut filters and the input log use.
#include "platform/gtk/key_events.hpp"

namespace solvera::platform {

KeyEvent keyEventFor(guint keyval, GdkModifierType state) {
  KeyEvent event;
  switch (keyval) {
    case GDK_KEY_AudioPlay: event.type = KeyEvent::Type::mediaPlayDown; break;
    case GDK_KEY_Right: event.keyCode = KeyEvent::kRightArrow; break;
    case GDK_KEY_F5: event.keyCode = KeyEvent::kF5; break;
    default: break;
  }
  event.shift = state & GDK_SHIFT_MASK;
  event.control = state & GDK_CONTROL_MASK;
  event.option = state & GDK_ALT_MASK;
  event.command = state & (GDK_SUPER_MASK | GDK_META_MASK);
  return event;
}

KeyEvent HeldKeys::press(guint keyval, guint keycode, GdkModifierType state) {
  KeyEvent event = keyEventFor(keyval, state);
  event.isRepeat = !held_.insert(keycode).second;
  return event;
}

}  // namespace solvera::platform
