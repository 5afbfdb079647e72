// Main-thread hand-off over g_idle_add_full / g_timeout_add_full; the source owns the callback.
#include "common/main_thread.hpp"

#include <glib.h>

#include <mutex>

namespace solvera::mainthread {
namespace {

// GLib orders the hand-off with locks that ThreadSanitizer cannot see; passing this one on
// both sides shows it the same order. Never contended for long: nothing runs under it.
std::mutex handOff;

std::function<void()>* handedOver(std::function<void()> work) {
  auto* box = new std::function<void()>(std::move(work));
  std::lock_guard lock(handOff);
  return box;
}

std::function<void()>* takenOver(gpointer data) {
  std::lock_guard lock(handOff);
  return static_cast<std::function<void()>*>(data);
}

gboolean runOnce(gpointer data) {
  (*takenOver(data))();
  return G_SOURCE_REMOVE;
}

void destroy(gpointer data) { delete takenOver(data); }

}  // namespace

void post(std::function<void()> work) {
  g_idle_add_full(G_PRIORITY_DEFAULT, runOnce, handedOver(std::move(work)), destroy);
}

void postAfter(std::chrono::milliseconds delay, std::function<void()> work) {
  g_timeout_add_full(G_PRIORITY_DEFAULT, static_cast<guint>(delay.count()), runOnce,
                     handedOver(std::move(work)), destroy);
}

bool runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
  gint64 end = g_get_monotonic_time() + static_cast<gint64>(timeout.count()) * 1000;
  bool timedOut = false;
  guint guard = g_timeout_add_full(
      G_PRIORITY_DEFAULT, static_cast<guint>(timeout.count()),
      [](gpointer flag) -> gboolean {
        *static_cast<bool*>(flag) = true;
        return G_SOURCE_REMOVE;
      },
      &timedOut, nullptr);
  while (!predicate() && !timedOut && g_get_monotonic_time() < end) {
    g_main_context_iteration(nullptr, TRUE);
  }
  if (!timedOut) g_source_remove(guard);
  return predicate();
}

}  // namespace solvera::mainthread
