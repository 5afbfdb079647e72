// The main-loop repeating timer.
#include <gtest/gtest.h>

#include <memory>

#include "common/main_thread.hpp"
#include "common/main_thread_timer.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace main_thread_timer_test {

using namespace solvera;
using namespace std::chrono_literals;

TEST(MainThreadRepeatingTimer, RepeatsUntilCancelledOrDestroyed) {
  int ticks = 0;
  auto timer = std::make_unique<MainThreadRepeatingTimer>();
  timer->start(20ms, [&] { ++ticks; });
  EXPECT_TRUE(timer->isActive());
  ASSERT_TRUE(mainthread::runUntil([&] { return ticks >= 3; }));
  timer.reset();
  int atStop = ticks;
  // A later source on the main loop runs after any tick that was already due.
  bool later = false;
  mainthread::postAfter(60ms, [&] { later = true; });
  ASSERT_TRUE(mainthread::runUntil([&] { return later; }));
  EXPECT_EQ(ticks, atStop);
}

}  // namespace main_thread_timer_test
