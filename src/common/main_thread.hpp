// The one way onto the main thread: the GLib default main context.
#pragma once

#include <chrono>
#include <functional>

namespace solvera::mainthread {

// Runs work on the main loop later, never inline. Safe from any thread.
void post(std::function<void()> work);

// Runs work on the main loop after a delay. Safe from any thread.
void postAfter(std::chrono::milliseconds delay, std::function<void()> work);

// Runs the default main context until predicate() is true or the timeout passes; for tests
// and for the few places that must wait for the main loop. Returns predicate().
bool runUntil(const std::function<bool()>& predicate,
              std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace solvera::mainthread
